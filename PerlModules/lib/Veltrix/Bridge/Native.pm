# Native.pm: the exported functions of the Perl bridge library, called from Perl through a small XS part.
package Veltrix::Bridge::Native;

use strict;
use warnings;

use Cwd ();
use File::Basename ();
use File::Spec ();
use XSLoader;

our $VERSION = '1.00';

XSLoader::load(__PACKAGE__, $VERSION);

use constant BRIDGE_FILE_NAME => 'VeltrixPerl540RuntimeNative.dll';

# The product root lies five levels above the lib directory (Binaries/Perl/Windows/X64/lib); the
# bridge sits in the native directory below it.
sub library_path {
    my $lib = File::Spec->catdir(File::Basename::dirname(Cwd::abs_path(__FILE__)), File::Spec->updir,
                                 File::Spec->updir);
    my $root = Cwd::abs_path(File::Spec->catdir($lib, (File::Spec->updir) x 5));
    return File::Spec->catfile($root, qw(Binaries Native Windows X64), BRIDGE_FILE_NAME);
}

# Loads the bridge once per process (the first command does it too); inside a process that hosts this
# interpreter it is the module already there. Returns the library handle.
sub load {
    return library_handle() || load_library(library_path());
}

package Veltrix::Bridge::NativeError;

# A failure of the bridge's exports: the export, its result and the library's own text.
use overload '""' => sub { $_[0]{text} }, 'bool' => sub { 1 }, fallback => 1;

sub function { $_[0]{function} }
sub result   { $_[0]{result} }
sub text     { $_[0]{text} }
sub throw    { my ($class, %fields) = @_; die bless {%fields}, $class }

1;

__END__

=head1 NAME

Veltrix::Bridge::Native - send command messages out of Perl through the bridge library

=head1 SYNOPSIS

    use Veltrix::Bridge::Native;
    my $response = Veltrix::Bridge::Native::send_command($message);   # byte strings

=head1 DESCRIPTION

Loads F<Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll> of the product tree that holds
this module (at the first call, or with C<load>) and calls its exports. C<send_command> takes a command message as a byte string, calls
C<SendCommand> and C<ReadResponse> once each and returns the response as a byte string.
C<set_embedded_runtime>, C<deploy_runtime>, C<set_config_source> and C<set_working_directory> return
the export's result. A failure result of an export (-2 to -7) dies with a
C<Veltrix::Bridge::NativeError> that stringifies to C<GetNativeError>'s text.

=cut
