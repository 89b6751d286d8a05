# Client.pm: calls another runtime from Perl: builds commands, sends them through the bridge, decodes the answers.
package Veltrix::Client;

use strict;
use warnings;

use Carp ();
use Veltrix::Client::Exception;
use Veltrix::Core::Protocol::Codec qw(:commands F_LIST_CONTEXT F_BY_VALUE PERL_RUNTIME
    encode_command decode_response);

our $VERSION = '1.00';

use constant {
    CHANNEL_IN_MEMORY => 0,
    CHANNEL_TCP       => 1,
    CHANNEL_TLS       => 2,
};

# Runtime numbers by the names the product gives the runtimes (case does not matter here).
my %RUNTIME_NUMBERS = (
    clr => 0, go => 1, jvm => 2, netcore => 3, perl => 4, python => 5,
    ruby => 6, nodejs => 7, cpp => 8, php => 9, python2 => 10,
);
my %CHANNELS = (inmemory => CHANNEL_IN_MEMORY, tcp => CHANNEL_TCP, tls => CHANNEL_TLS);
my %COMMAND_NUMBERS = map { $Veltrix::Core::Protocol::Codec::COMMAND_NAMES[$_] => $_ }
    0 .. $#Veltrix::Core::Protocol::Codec::COMMAND_NAMES;
$COMMAND_NUMBERS{LoadLibrary_} = CMD_LOAD_LIBRARY;
# Header byte 10 for every accepted spelling of a command type, and the valid flag values: the per-command
# checks of the C side (execute, execute_with_flags) are one hash lookup each.
our %TYPE_BYTE = ((map { $_ => $_ } 0 .. 255), %COMMAND_NUMBERS);
our %VALID_FLAGS = map { $_ => $_ } 0 .. (F_LIST_CONTEXT | F_BY_VALUE);

sub runtime_number {
    my ($runtime) = @_;
    Carp::croak('Runtime missing') unless defined $runtime;
    return $runtime + 0 if $runtime =~ /\A\d+\z/ && $runtime <= 10;
    my $number = $RUNTIME_NUMBERS{lc $runtime};
    Carp::croak("Unknown runtime '$runtime' (a name such as Clr or Jvm, or a number from 0 to 10)")
        unless defined $number;
    return $number;
}

sub command_type {
    my ($type) = @_;
    Carp::croak('Command type missing') unless defined $type;
    return $type + 0 if $type =~ /\A\d+\z/ && $type <= 255;
    my $number = $COMMAND_NUMBERS{$type};
    Carp::croak("Unknown command type '$type'") unless defined $number;
    return $number;
}

sub _byte {
    my ($value, $what) = @_;
    Carp::croak("$what must be a number from 0 to 255, got " . ($value // 'undef'))
        unless defined $value && $value =~ /\A\d+\z/ && $value <= 255;
    return $value + 0;
}

sub _flags {
    my ($flags) = @_;
    return 0 unless defined $flags;
    Carp::croak("Flags must be a combination of F_LIST_CONTEXT and F_BY_VALUE, got $flags")
        unless $flags =~ /\A\d+\z/ && ($flags & ~(F_LIST_CONTEXT | F_BY_VALUE)) == 0;
    return $flags + 0;
}

# new(runtime => 'Clr' | 0..10, version => 0..255, channel => 'inmemory' | 'tcp' | 'tls',
#     address => 'a.b.c.d', port => 1..65535, transport => sub { $message_bytes -> $response_bytes })
sub new {
    my ($class, %options) = @_;
    my %known = map { $_ => 1 } qw(runtime version channel address port transport);
    my @unknown = sort grep { !$known{$_} } keys %options;
    Carp::croak("Unknown option(s): @unknown") if @unknown;

    my $channel = $CHANNELS{lc($options{channel} // 'inmemory')};
    Carp::croak("Unknown channel '$options{channel}' (inmemory, tcp or tls)") unless defined $channel;
    my %header = (
        called_runtime         => runtime_number($options{runtime}),
        called_runtime_version => _byte($options{version} // 0, 'Runtime version'),
        channel                => $channel,
        calling_runtime        => PERL_RUNTIME,
    );
    if ($channel != CHANNEL_IN_MEMORY) {
        my $address = $options{address};
        Carp::croak('An IPv4 address (a.b.c.d) is required for a ' . lc($options{channel}) . ' channel, got '
                    . ($address // 'none'))
            unless defined $address && $address =~ /\A(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})\z/
            && !grep { $_ > 255 } $1, $2, $3, $4;
        my $port = $options{port};
        Carp::croak('A port from 1 to 65535 is required for a ' . lc($options{channel}) . ' channel, got '
                    . ($port // 'none'))
            unless defined $port && $port =~ /\A\d+\z/ && $port >= 1 && $port <= 65535;
        # Octets as numbers: "010" is ten, not an octal eight.
        $header{address} = join '.', map { $_ + 0 } split /\./, $address;
        $header{port} = $port + 0;
    } elsif (defined $options{address} || defined $options{port}) {
        Carp::croak('An in-memory channel takes no address or port');
    }

    my $transport = $options{transport};
    if (defined $transport) {
        Carp::croak('transport must be a code reference') unless ref $transport eq 'CODE';
    } else {
        require Veltrix::Bridge::Native;
        $transport = \&Veltrix::Bridge::Native::send_command;
    }
    my $self = bless {%header, transport => $transport}, $class;
    # Bytes 0 to 9 are the same for every command of this client; byte 10 is the command type.
    my @octets = defined $header{address} ? split(/\./, $header{address}) : (0, 0, 0, 0);
    $self->{prefix} = pack('C3 C4 v C', @header{qw(called_runtime called_runtime_version channel)}, @octets,
                           $header{port} // 0, PERL_RUNTIME);
    return $self;
}

sub runtime         { $_[0]{called_runtime} }
sub runtime_version { $_[0]{called_runtime_version} }
sub channel         { $_[0]{channel} }
sub address         { $_[0]{address} }
sub port            { $_[0]{port} }

# The 11 header bytes of a command of the given type.
sub header {
    my ($self, $type) = @_;
    return $self->{prefix} . chr(command_type($type));
}

# A whole command message: header, flags, arguments. Arguments may be nested commands (see nested).
sub message {
    my ($self, $type, $flags, @args) = @_;
    return encode_command($self->{prefix} . chr($TYPE_BYTE{$type // ''} // command_type($type)),
                          $VALID_FLAGS{$flags // 0} // _flags($flags), \@args);
}

# A command to pass as the argument of another command; the other side runs it first.
sub nested {
    my ($self, $type, @args) = @_;
    return Veltrix::Core::Protocol::Command->new(command_type($type), 0, @args);
}

# Sends a message (bytes) and returns the answer's value; an Exception answer dies with a
# Veltrix::Client::Exception.
sub send_message {
    my ($self, $message) = @_;
    return $self->decode($self->{transport}->($message));
}

sub decode {
    my ($self, $response) = @_;
    my ($type, $value) = decode_response($response);
    return $type == CMD_VALUE ? $value : _other_answer($self, $type, $value);
}

sub _other_answer {
    my ($self, $type, $value) = @_;
    Veltrix::Client::Exception->from_response($value, $self->{called_runtime}) if $type == CMD_EXCEPTION;
    return $value if $type == CMD_HEART_BEAT;
    die "Unexpected answer: command type $type (" . Veltrix::Core::Protocol::Codec::command_name($type) . ")\n";
}

# execute(type, args...): one command without flags; execute_with_flags(type, flags, args...). Both are C
# (the codec module): encode, send, decode in one step. This is their check of unusual spellings.
sub _type_byte { return command_type($_[0]) }

# load_library, invoke_static_method, invoke_instance_method, invoke_global_method, create_instance,
# get_static_field, set_static_field, get_instance_field, set_instance_field and release are C too: execute
# with their command type.

# Points the in-memory transport at the called runtime's files (its native side decides what path means).
sub set_embedded_runtime {
    my ($self, $path) = @_;
    require Veltrix::Bridge::Native;
    return Veltrix::Bridge::Native::set_embedded_runtime(PERL_RUNTIME, $self->{called_runtime},
        $self->{called_runtime_version}, $path);
}

sub deploy_runtime {
    my ($self, $path) = @_;
    require Veltrix::Bridge::Native;
    return Veltrix::Bridge::Native::deploy_runtime($self->header(CMD_VALUE), $path, $self->{channel});
}

# Library-wide settings, shared by every client of the process.
sub set_config_source {
    my (undef, $source) = @_;
    require Veltrix::Bridge::Native;
    return Veltrix::Bridge::Native::set_config_source($source);
}

sub set_working_directory {
    my (undef, $path) = @_;
    require Veltrix::Bridge::Native;
    return Veltrix::Bridge::Native::set_working_directory($path);
}

1;

__END__

=head1 NAME

Veltrix::Client - call another runtime from Perl

=head1 SYNOPSIS

    use Veltrix::Client;

    my $clr = Veltrix::Client->new(runtime => 'Clr');                              # same process
    my $jvm = Veltrix::Client->new(runtime => 'Jvm', channel => 'tcp', address => '10.0.0.1', port => 8080);

    my $max = $clr->invoke_static_method('System.Math', 'Max', 3, 7);
    my $obj = $clr->create_instance('System.Text.StringBuilder');             # a handle
    $clr->invoke_instance_method($obj, 'Append', 'text');
    $clr->release($obj);

    my $len = $clr->execute('GetInstanceField',
        $clr->nested('CreateClassInstance', 'System.Text.StringBuilder', 'abc'), 'Length');

    eval { $clr->invoke_static_method('Nope', 'Nope') };
    if (ref $@ && $@->isa('Veltrix::Client::Exception')) { print $@->message, $@->class, $@->stack }

=head1 DESCRIPTION

Commands are encoded with L<Veltrix::Core::Protocol::Codec> (the format of F<docs/command-format.md>),
with Perl (4) as the calling runtime, and sent through L<Veltrix::Bridge::Native>. Answers are decoded
into Perl values; handles come back as C<Veltrix::Core::Protocol::Handle> objects and may be passed as
arguments. An Exception answer dies with a L<Veltrix::Client::Exception>; a failure of the bridge dies
with a C<Veltrix::Bridge::NativeError> carrying the bridge's error text.

Unblessed array and hash references travel as lists and maps; other Perl references cannot be sent.

=cut
