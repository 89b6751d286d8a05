# Exception.pm: an Exception answer of another runtime, raised in Perl; stringifies to the remote text.
package Veltrix::Client::Exception;

use strict;
use warnings;

use Carp ();
use Scalar::Util ();
use Veltrix::Error;

our @ISA = ('Veltrix::Error');
our $VERSION = '1.00';

# Dies with the exception that an answer's value (a map of message, class and stack, maybe an object handle
# or an exit status) describes.
sub from_response {
    my ($class, $value, $runtime) = @_;
    Carp::croak('Malformed command: an Exception answer must carry a map of message, class and stack')
        unless ref $value eq 'HASH';
    my %fields = map { my $v = $value->{$_}; ($_ => (defined $v && !ref $v) ? $v : '') } qw(message class stack);
    my $object = $value->{object};
    $fields{object} = $object if Scalar::Util::blessed($object) && $object->isa('Veltrix::Core::Protocol::Handle');
    $fields{exit_status} = $value->{exit} if defined $value->{exit} && !ref $value->{exit};
    die $class->new(%fields, runtime => $runtime);
}

# Number of the runtime that raised it.
sub runtime { $_[0]{runtime} }
# A handle to the exception object on the other side, when it sent one.
sub object { $_[0]{object} }
# The status of an exit the called code made, when that is what ended the call.
sub exit_status { $_[0]{exit_status} }

1;

__END__

=head1 NAME

Veltrix::Client::Exception - an exception raised by the runtime that Veltrix::Client called

=head1 SYNOPSIS

    use Veltrix::Client;

    my $perl = Veltrix::Client->new(runtime => 'Perl');
    eval { $perl->invoke_global_method('My::Module::risky'); 1 } or do {
        my $e = $@;
        die $e unless ref $e && $e->isa('Veltrix::Client::Exception');
        print $e->message, $e->class, $e->stack;
        print $perl->invoke_instance_method($e->object, 'message') if $e->object;
        print "exit status ", $e->exit_status, "\n" if defined $e->exit_status;
    };

=head1 DESCRIPTION

When the other side answers a command with an Exception, the client dies with an object of this class (a
L<Veltrix::Error>). It stringifies to the remote message, unchanged.

=head1 METHODS

=over

=item message, class, stack

The remote text, the remote exception's class (empty for a plain text) and the remote stack, innermost
frame first.

=item object

A L<Veltrix::Client::Handle> to the exception object on the other side, when the other side sent one (a
Perl receiver sends it when the die value was a reference): its methods can be called through the client.
It is released when the last reference to it goes.

=item exit_status

When the called Perl code called C<exit>: the status it gave (then C<class> is C<Veltrix::Exit>). Undefined
otherwise.

=item runtime

The number of the runtime that raised it.

=item file, line

The place in the caller's code where the failing call was made.

=item from_response($value, $runtime)

Class method: dies with the exception that the value of an Exception answer describes.

=back

=cut
