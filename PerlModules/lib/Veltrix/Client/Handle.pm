# Handle.pm: a handle that a client received, released on the other side when its last reference goes.
package Veltrix::Client::Handle;

use strict;
use warnings;

use Veltrix::Core::Protocol::Codec ();

our @ISA = ('Veltrix::Core::Protocol::Handle');
our $VERSION = '1.00';

sub client   { $_[0]{client} }
sub released { $_[0]{released} ? 1 : 0 }

# A new thread gets a reference to undef in place of each handle: two copies would release one object twice.
sub CLONE_SKIP { 1 }

# At global destruction the other side may be gone already, and the process ends anyway.
sub DESTROY {
    my ($self) = @_;
    return if $self->{released} || !$self->{client} || ${^GLOBAL_PHASE} eq 'DESTRUCT';
    local ($@, $!, $?);
    eval {
        $self->{client}->execute(Veltrix::Core::Protocol::Codec::CMD_DESTRUCT_REFERENCE(), $self);
        1;
    } or warn "Veltrix::Client: releasing handle $self->{id} ($self->{type}) failed: $@";
    return;
}

1;

__END__

=head1 NAME

Veltrix::Client::Handle - a value kept by the called runtime, released when Perl no longer refers to it

=head1 SYNOPSIS

    my $builder = $clr->create_instance('System.Text.StringBuilder');   # a Veltrix::Client::Handle
    $clr->invoke_instance_method($builder, 'Append', 'text');          # returns another handle, freed at once
    undef $builder;                                                      # released on the other side

=head1 DESCRIPTION

Handles in the answers of a L<Veltrix::Client> call are objects of this class (a subclass of
C<Veltrix::Core::Protocol::Handle>, with C<id> and C<type>). When the last Perl reference to one goes, its
C<DESTROY> sends the command that releases it on the other side, so a temporary handle (such as the one a
method that returns its own object gives back) costs nothing to keep track of. C<< $client->release >> of a
handle releases it at once and marks it, and C<DESTROY> then does nothing. A failed release (the other
side is gone) is a warning. At global destruction nothing is sent.

Handles belong to the thread that received them: in a new Perl thread each becomes an unblessed
reference to C<undef> (two copies would release one object twice). To use an object from another
thread, pass its id and make an unowned C<< Veltrix::Core::Protocol::Handle->new($id) >> there, and
keep the original alive meanwhile.

=head1 METHODS

=over

=item id, type

The handle number and the type name the other side gave.

=item client

The L<Veltrix::Client> that received it and releases it.

=item released

True once C<< $client->release >> released it.

=back

=cut
