# Native.pm: the exported functions of the Perl bridge library, called from Perl through a small XS part.
package Veltrix::Bridge::Native;

use strict;
use warnings;

use Cwd ();
use File::Basename ();
use File::Spec ();
use Veltrix::Error ();
use XSLoader;

our $VERSION = '1.00';

XSLoader::load(__PACKAGE__, $VERSION);

use constant BRIDGE_FILE_NAME => 'VeltrixPerl540RuntimeNative.dll';

# The product root is the VELTRIX_PRODUCT environment variable (for this module installed on its own, outside
# any product tree), else the tree that holds this module: five levels above its lib directory
# (Binaries/Perl/Windows/X64/lib). The bridge sits in the native directory below it.
sub library_path {
    my $root = $ENV{VELTRIX_PRODUCT};
    if (!defined $root || !length $root) {
        my $lib = File::Spec->catdir(File::Basename::dirname(Cwd::abs_path(__FILE__)), File::Spec->updir,
                                     File::Spec->updir);
        $root = Cwd::abs_path(File::Spec->catdir($lib, (File::Spec->updir) x 5));
    }
    return File::Spec->catfile($root, qw(Binaries Native Windows X64), BRIDGE_FILE_NAME);
}

# Loads the bridge once per process (the first command does it too); inside a process that hosts this
# interpreter it is the module already there. Returns the library handle.
sub load {
    return library_handle() || load_library(library_path());
}

package Veltrix::Bridge::NativeError;

# A failure of the bridge's exports: the export, its result and the library's own text as the message.
our @ISA = ('Veltrix::Error');

sub new {
    my ($class, %fields) = @_;
    $fields{message} //= delete $fields{text};
    return $class->SUPER::new(%fields);
}

sub function { $_[0]{function} }
sub result   { $_[0]{result} }
# The message under the name it had before the errors had a common base.
sub text     { $_[0]->message }

1;

__END__

=head1 NAME

Veltrix::Bridge::Native - send command messages out of Perl through the bridge library

=head1 SYNOPSIS

    use Veltrix::Bridge::Native;
    my $response = Veltrix::Bridge::Native::send_command($message);   # byte strings

=head1 DESCRIPTION

Loads F<Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll> of the product tree named by the
C<VELTRIX_PRODUCT> environment variable, or else of the tree that holds this module (at the first call, or
with C<load>), and calls its exports. A copy of the module installed on its own (the Perl distribution) needs
C<VELTRIX_PRODUCT>, for example F<PREFIX/lib/veltrix-perl> of an installed product.

=over

=item send_command($message)

Takes a command message as a byte string (characters above 0xFF are refused), calls C<SendCommand> and
C<ReadResponse> once each and returns the response as a byte string. The two calls are one step under a
process-wide lock, shared by every thread and interpreter of the process: the exports keep the last
response for the next C<ReadResponse>, so two threads calling them separately could read each other's
answers. The lock is recursive: a command whose handling calls back into Perl on the same thread may send
commands of its own. A command that never returns holds it.

=item set_embedded_runtime($calling, $called, $version, $path)

=item deploy_runtime($message, $path, $channel)

=item set_config_source($source), set_working_directory($path)

Return the export's result.

=item native_error

The text of C<GetNativeError>: the bridge's most recent failure.

=item load, library_path, library_handle

Load the bridge now, the path it is loaded from, and its handle (0 before it is loaded).

=back

A failure result of an export (-2 to -7) dies with a C<Veltrix::Bridge::NativeError>, a L<Veltrix::Error>
whose C<message> (also C<text>, its older name) is C<GetNativeError>'s text exactly, with C<function> (the
export) and C<result>; its C<file> and C<line> give the place of the call in the caller's code.

=head1 THREADS

The module may be used from any number of Perl threads; the bridge is loaded once per process.

=cut
