# Codec.pm: the command format's constants and its C encoder and decoder, shared by both directions.
package Veltrix::Core::Protocol::Codec;

use strict;
use warnings;

use Exporter qw(import);
use XSLoader;

# The C part also defines the receiver's command path (send_command, heart_beat, execute_message,
# handle_count) in Veltrix::Core::Receiver::Receiver. Loaded at compile time: the constants below use it.
BEGIN {
    our $VERSION = '1.000';
    XSLoader::load(__PACKAGE__, $VERSION);
}

# Value type tags.
use constant {
    T_NULL    => 0,
    T_FALSE   => 1,
    T_TRUE    => 2,
    T_INT64   => 3,
    T_DOUBLE  => 4,
    T_STRING  => 5,
    T_BYTES   => 6,
    T_LIST    => 7,
    T_MAP     => 8,
    T_HANDLE  => 9,
    T_COMMAND => 10,
};

# Command flags (first byte of a command body).
use constant {
    F_LIST_CONTEXT => 1,
    F_BY_VALUE     => 2,
};

use constant {
    HEADER_LENGTH => 11,
    MAX_DEPTH     => 64,
    PERL_RUNTIME  => 4,
};

# Command types carried in header byte 10, named after the C table (CMD_INVOKE_GLOBAL_METHOD => 16...).
our @COMMAND_NAMES;
BEGIN {
    @COMMAND_NAMES = command_names();
    for my $type (0 .. $#COMMAND_NAMES) {
        (my $constant = $COMMAND_NAMES[$type]) =~ s/(?<=[a-z])(?=[A-Z])/_/g;
        constant->import('CMD_' . uc($constant) => $type);
    }
}

our @EXPORT_OK = (
    qw(T_NULL T_FALSE T_TRUE T_INT64 T_DOUBLE T_STRING T_BYTES T_LIST T_MAP T_HANDLE T_COMMAND),
    qw(F_LIST_CONTEXT F_BY_VALUE HEADER_LENGTH MAX_DEPTH PERL_RUNTIME),
    qw(encode_command decode_response command_name),
    grep { /^CMD_/ } keys %Veltrix::Core::Protocol::Codec::,
);
our %EXPORT_TAGS = (
    tags     => [grep {/^T_/} @EXPORT_OK],
    commands => [grep {/^CMD_/} @EXPORT_OK],
    all      => \@EXPORT_OK,
);

sub command_name {
    my ($type) = @_;
    return (defined $type && $type =~ /\A\d+\z/ && $type < @COMMAND_NAMES) ? $COMMAND_NAMES[$type] : "command type $type";
}

# A handle to a value kept by the other side (as decoded from a response, or built by a client).
package Veltrix::Core::Protocol::Handle;

sub new {
    my ($class, $id, $type) = @_;
    return bless {id => $id, type => $type // ''}, $class;
}
sub id   { $_[0]{id} }
sub type { $_[0]{type} }

# A command used as the argument of another command (evaluated first, on the receiving side).
package Veltrix::Core::Protocol::Command;

sub new {
    my ($class, $type, $flags, @args) = @_;
    return bless {type => $type, flags => $flags // 0, args => \@args}, $class;
}

1;

__END__

=head1 NAME

Veltrix::Core::Protocol::Codec - the command format in Perl: constants, encoder and decoder

=head1 SYNOPSIS

    use Veltrix::Core::Protocol::Codec qw(:commands F_LIST_CONTEXT encode_command decode_response);

    my $message = encode_command($header, F_LIST_CONTEXT, ['List::Util::sum', 1, 2, 3]);   # bytes
    my ($type, $value) = decode_response($response);

=head1 DESCRIPTION

The encoder and decoder of F<docs/command-format.md>, written in C, used by L<Veltrix::Client> and by the
receiver module. Nothing is exported by default.

=over

=item encode_command($header, $flags, \@args)

The whole command message: the 11 bytes of C<$header>, then the flags and the arguments. Arguments are
C<undef>, booleans, numbers, strings, unblessed array and hash references, C<Veltrix::Core::Protocol::Handle>
and C<Veltrix::Core::Protocol::Command> objects (a command the other side runs first). Dies on a value that
cannot be sent.

=item decode_response($response)

The command type and the value of a response. Handles become C<Veltrix::Core::Protocol::Handle> objects
(C<id>, C<type>). Dies with the reason and the offset on a malformed response.

=item command_name($type)

The name of a command type (C<InvokeGlobalMethod> for 16).

=item Constants

C<CMD_*> for every command type (tag C<:commands>), C<T_*> for the value tags (C<:tags>), C<F_LIST_CONTEXT>
and C<F_BY_VALUE>, C<HEADER_LENGTH>, C<MAX_DEPTH> and C<PERL_RUNTIME>; C<:all> for everything.

=back

=cut
