# VeltrixTestTree.pm: a throw-away product tree (native directory, Perl lib) for one test program.
package VeltrixTestTree;

use strict;
use warnings;

use File::Copy ();
use File::Path ();
use File::Spec;
use File::Temp ();

sub env_path {
    my ($name) = @_;
    my $path = $ENV{$name};
    die "$name is not set: run this test through ctest\n" unless defined $path && length $path;
    return $path;
}

# new(bridge => 1): the staged Perl modules (with the XS part), and the bridge unless bridge => 0.
sub new {
    my ($class, %options) = @_;
    my $dir = File::Temp->newdir('veltrix-perlclient-XXXXXX', TMPDIR => 1,
                                 CLEANUP => !$ENV{VELTRIX_KEEP_TEST_TREES});
    my $self = bless {dir => $dir, root => "$dir"}, $class;
    File::Path::make_path($self->native_dir, $self->lib_dir);
    system('cp', '-R', env_path('VELTRIX_PERL_LIB_DIR') . '/.', $self->lib_dir) == 0 or die "copy of the modules failed\n";
    $self->add_native_library(env_path('VELTRIX_BRIDGE_LIBRARY'), 'VeltrixPerl540RuntimeNative.dll')
        if $options{bridge} // 1;
    return $self;
}

sub root       { $_[0]{root} }
sub native_dir { File::Spec->catdir($_[0]{root}, qw(Binaries Native Windows X64)) }
sub lib_dir    { File::Spec->catdir($_[0]{root}, qw(Binaries Perl Windows X64 lib)) }

# Copies a built library into the native directory under the given file name; returns its path.
sub add_native_library {
    my ($self, $source, $file_name) = @_;
    my $target = File::Spec->catfile($self->native_dir, $file_name);
    File::Copy::copy($source, $target) or die "copy $source -> $target: $!\n";
    chmod 0755, $target;
    return $target;
}

# Makes the tree's modules the ones this process loads.
sub use_modules {
    my ($self) = @_;
    unshift @INC, $self->lib_dir;
    return $self;
}

1;
