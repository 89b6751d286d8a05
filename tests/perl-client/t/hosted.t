# hosted.t: the bridge already in the process before the module loads (as when the bridge hosts this interpreter).
use strict;
use warnings;
use Test::More;

use Cwd ();
use DynaLoader ();
use File::Spec;
use FindBin ();
use lib "$FindBin::Bin/lib";
use VeltrixTestTree;

my $tree = VeltrixTestTree->new->use_modules;
my $bridge = Cwd::abs_path(File::Spec->catfile($tree->native_dir, 'VeltrixPerl540RuntimeNative.dll'));

my $host_handle = DynaLoader::dl_load_file($bridge, 0) or BAIL_OUT('cannot load the bridge: ' . DynaLoader::dl_error());
require Veltrix::Bridge::Native;

is Veltrix::Bridge::Native::load(), $host_handle, 'the module finds the loaded bridge';
# Each loaded copy of a file maps its first page (offset 0) once.
open my $maps, '<', '/proc/self/maps' or die $!;
my $copies = grep { my @f = split; @f >= 6 && $f[5] eq $bridge && hex($f[2]) == 0 } <$maps>;
is $copies, 1, 'one copy of the bridge in the process';

done_testing;
