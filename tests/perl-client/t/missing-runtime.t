# missing-runtime.t: a called runtime whose library is not in the product tree, and a tree without the bridge.
use strict;
use warnings;
use Test::More;

use File::Spec;
use FindBin ();
use lib "$FindBin::Bin/lib";
use VeltrixTestTree;

my $tree = VeltrixTestTree->new->use_modules;
require Veltrix::Client;
my $clr_library = File::Spec->catfile($tree->native_dir, 'VeltrixClrRuntimeNative.dll');

sub error_of (&) { my ($code) = @_; eval { $code->(); 1 } ? undef : $@ }

subtest 'a missing runtime library reaches Perl as the 001 text with its path and the loader reason' => sub {
    my $clr = Veltrix::Client->new(runtime => 'Clr');
    my $error = error_of { $clr->invoke_static_method('System.Math', 'Max', 3, 7) };
    isa_ok $error, 'Veltrix::Bridge::NativeError';
    like "$error", qr/\AVeltrix Core Exception: Exception code 001\. \nCannot load: \Q$clr_library\E\. \nError: 126 - .*\Q$clr_library\E.*No such file or directory/s,
        'code line, path, code 126 and the loader text';
    is $error->result, -2, 'SendCommand failed';
    is "$error", Veltrix::Bridge::Native::native_error(), 'the text is GetNativeError\'s';
    unlike "$error", qr/ at \S+ line \d+/, 'no Perl location appended';
};

subtest 'the same process succeeds once the library is there' => sub {
    $tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'), 'VeltrixClrRuntimeNative.dll');
    my $message = Veltrix::Client->new(runtime => 'Clr')->message('Value', 0, 'ping');
    is substr(Veltrix::Bridge::Native::send_command($message), 11), substr($message, 11), 'answered';
};

subtest 'a runtime library without CreateReceiver is reported with code 014' => sub {
    $tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_NO_RECEIVER'), 'VeltrixGoRuntimeNative.dll');
    my $error = error_of { Veltrix::Client->new(runtime => 'Go')->execute('Value', 1) };
    is "$error", "Veltrix Core Exception: Exception code 014. \nReinstall Veltrix package", 'text';
    is $error->result, -2, 'result';
};

subtest 'a product tree without the bridge fails at the first command with the loader text' => sub {
    my $bare = VeltrixTestTree->new(bridge => 0);
    my $bridge = File::Spec->catfile($bare->native_dir, 'VeltrixPerl540RuntimeNative.dll');
    # Another process: this one has its bridge already.
    my $program = 'require Veltrix::Bridge::Native; '
                . 'eval { Veltrix::Bridge::Native::send_command("\\0" x 11); 1 } and exit 3; '
                . 'print ref($@), "|", $@->function, "|", "$@"; exit 0';
    my $output = `"$^X" -I "${\ $bare->lib_dir }" -e '$program' 2>&1`;
    is $? >> 8, 0, 'the command died';
    like $output, qr/\AVeltrix::Bridge::NativeError\|load\|Cannot load: \Q$bridge\E\. \nError: .*No such file/s,
        'a NativeError naming the missing bridge';
};

done_testing;
