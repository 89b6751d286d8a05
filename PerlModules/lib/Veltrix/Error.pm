# Error.pm: the base class of the errors the Perl client raises: a message, the class and stack where the
# other side sent them, and the place in the caller's code.
package Veltrix::Error;

use strict;
use warnings;

use overload '""' => sub { $_[0]->message }, 'bool' => sub { 1 }, fallback => 1;

our $VERSION = '1.00';

# The client's own packages: Carp, and the place an error records, look past them to the caller's code.
{
    no warnings 'once';
    $Carp::Internal{$_} = 1 for qw(Veltrix::Error Veltrix::Client Veltrix::Client::Exception
        Veltrix::Client::Handle Veltrix::Bridge::Native Veltrix::Bridge::NativeError Veltrix::Core::Protocol::Codec);
}

sub new {
    my ($class, %fields) = @_;
    return _place_of_caller(bless {message => '', class => '', stack => '', %fields}, $class);
}

sub message { $_[0]{message} }
sub class   { $_[0]{class} // '' }
sub stack   { $_[0]{stack} // '' }
sub file    { $_[0]{file} }
sub line    { $_[0]{line} }
sub throw   { my $class = shift; die $class->new(@_) }

# Records in file and line the first place of the calling code outside the client's packages and Carp's.
sub _place_of_caller {
    my ($self) = @_;
    for (my $i = 0; my @frame = caller($i); $i++) {
        next if $Carp::Internal{$frame[0] // ''} || $Carp::CarpInternal{$frame[0] // ''};
        @$self{qw(file line)} = @frame[1, 2];
        last;
    }
    return $self;
}

1;

__END__

=head1 NAME

Veltrix::Error - base class of the errors of the Perl client

=head1 SYNOPSIS

    eval { $clr->invoke_static_method('System.IO.File', 'ReadAllText', '/missing') };
    if (ref $@ && $@->isa('Veltrix::Error')) {
        printf "%s (%s) at %s line %d\n", $@->message, $@->class, $@->file, $@->line;
    }

=head1 DESCRIPTION

Both kinds of error object the client dies with derive from this class, so one handler reads them
alike:

=over

=item L<Veltrix::Client::Exception>

an Exception answer of the called runtime (its message, class and stack);

=item C<Veltrix::Bridge::NativeError>

a failure of the bridge library itself (see L<Veltrix::Bridge::Native>).

=back

An error object stringifies to its message and is always true.

Errors the client finds in its caller's input (an unknown option, a value that cannot be sent, a response
that cannot be read) are plain texts ending in " at FILE line N.", the place in the caller's code, as
C<Carp::croak> gives it.

=head1 METHODS

=over

=item message

The text of the error.

=item class

The class of the exception on the other side; empty when it did not send one.

=item stack

The other side's stack, innermost frame first; empty when it did not send one.

=item file, line

The place in the caller's code where the call that failed was made: the first frame outside the client's
own packages.

=item throw(%fields)

Class method: dies with a new error of the class (fields C<message>, C<class>, C<stack> and those of the
subclass).

=back

=cut
