# Client.pm: calls another runtime from Perl: builds commands, sends them through the bridge, decodes the answers.
package Veltrix::Client;

use strict;
use warnings;

use Carp ();
use Scalar::Util ();
use Veltrix::Client::Exception;
use Veltrix::Client::Handle;
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
    my ($type, $value) = eval { decode_response($response, $self) } or _croak($@);
    return $type == CMD_VALUE ? $value : _other_answer($self, $type, $value);
}

sub _other_answer {
    my ($self, $type, $value) = @_;
    Veltrix::Client::Exception->from_response($value, $self->{called_runtime}) if $type == CMD_EXCEPTION;
    return $value if $type == CMD_HEART_BEAT;
    Carp::croak("Unexpected answer: command type $type (" . Veltrix::Core::Protocol::Codec::command_name($type) . ')');
}

# A failure the client found, placed in the caller's code.
sub _croak {
    my ($text) = @_;
    die $text if ref $text;
    Carp::croak($text =~ s/\n\z//r);
}

# execute(type, args...): one command without flags; execute_with_flags(type, flags, args...). Both are C
# (the codec module): encode, send, decode in one step. This is their check of unusual spellings.
sub _type_byte { return command_type($_[0]) }

# load_library, invoke_static_method, invoke_instance_method, invoke_global_method, create_instance,
# get_static_field, set_static_field, get_instance_field and set_instance_field are C too: execute with their
# command type.

# Releases handles now; a released Veltrix::Client::Handle sends nothing more when it goes.
sub release {
    my ($self, @handles) = @_;
    my $result = $self->execute(CMD_DESTRUCT_REFERENCE, @handles);
    for my $handle (@handles) {
        $handle->{released} = 1 if Scalar::Util::blessed($handle) && $handle->isa('Veltrix::Client::Handle');
    }
    return $result;
}

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
    my $obj = $clr->create_instance('System.Text.StringBuilder');             # a Veltrix::Client::Handle
    $clr->invoke_instance_method($obj, 'Append', 'text');
    undef $obj;                                                                 # released on the other side

    my $len = $clr->execute('GetInstanceField',
        $clr->nested('CreateClassInstance', 'System.Text.StringBuilder', 'abc'), 'Length');

    eval { $clr->invoke_static_method('Nope', 'Nope'); 1 } or do {
        my $e = $@;
        print $e->message, $e->class, $e->stack if ref $e && $e->isa('Veltrix::Error');
    };

=head1 DESCRIPTION

Commands are encoded with L<Veltrix::Core::Protocol::Codec> (the format of F<docs/command-format.md>),
with Perl (4) as the calling runtime, and sent through L<Veltrix::Bridge::Native> (or the C<transport>
given to C<new>). Answers are decoded into Perl values.

Values: C<undef>, booleans, numbers and strings travel as themselves (a string with a byte above 0x7F
that is not a character string travels as bytes); unblessed array and hash references as lists and maps.
Other references cannot be sent, except handles. Objects and other references of the other side come
back as handles.

=head1 CONSTRUCTOR

=over

=item new(%options)

C<runtime> (required): a runtime name (C<Clr>, C<Go>, C<Jvm>, C<Netcore>, C<Perl>, C<Python>, C<Ruby>,
C<Nodejs>, C<Cpp>, C<Php>, C<Python2>; any case) or its number 0 to 10. C<version>: the called runtime's
version byte (default 0). C<channel>: C<inmemory> (default), C<tcp> or C<tls>; the last two need
C<address> (IPv4, a.b.c.d) and C<port> (1 to 65535). C<transport>: a code reference that takes a command
message (bytes) and returns the response (bytes), instead of the bridge. Bad options die at the caller.

=back

=head1 CALLS

Each dies with a L<Veltrix::Client::Exception> when the other side answers with an Exception, and with a
C<Veltrix::Bridge::NativeError> when the bridge fails; both are L<Veltrix::Error> objects.

=over

=item invoke_static_method($type, $method, @args)

=item invoke_instance_method($handle, $method, @args)

=item invoke_global_method($function, @args)

=item create_instance($type, @args)

=item get_static_field($type, $name), set_static_field($type, $name, $value)

=item get_instance_field($handle, $name), set_instance_field($handle, $name, $value)

=item load_library($name)

One command each, without flags: the value the other side returned.

=item execute($type, @args), execute_with_flags($type, $flags, @args)

Any command, by name (C<InvokeStaticMethod>) or number; flags are C<F_LIST_CONTEXT> and C<F_BY_VALUE> of
L<Veltrix::Core::Protocol::Codec>.

=item nested($type, @args)

A command to pass as an argument of another command: the other side runs it first and uses its result,
so a chain is one round trip.

=item release(@handles)

Releases handles on the other side now (see L</LIFETIME>).

=item message($type, $flags, @args), header($type), send_message($bytes), decode($response)

The steps of a call one by one: the encoded message, its 11-byte header, sending bytes through the
transport and decoding the answer.

=item set_embedded_runtime($path), deploy_runtime($path), set_config_source($source), set_working_directory($path)

The bridge's settings for the called runtime and for the process.

=item runtime, runtime_version, channel, address, port

The client's options.

=back

=head1 ERRORS

Errors the client finds itself (bad options, a value that cannot be sent, an answer that cannot be read)
are texts ending in " at FILE line N.", the place of the call in the caller's code. Errors of the other
side and of the bridge are L<Veltrix::Error> objects: C<message>, C<class> and C<stack> (where the other
side sent them), C<file> and C<line> (the place of the call in the caller's code).

=head1 THE C++ HOST

When a C++ program hosts this interpreter (through the C++ host client), the functions it offers are those
of runtime C<Cpp> (8) in the same process, answered by F<VeltrixCppRuntimeNative.dll>:

    my $cpp = Veltrix::Client->new(runtime => 'Cpp');
    my $sum = $cpp->invoke_global_method('Stats::add', 2, 3);     # a function the host defined
    my $all = $cpp->execute_with_flags('InvokeGlobalMethod', F_LIST_CONTEXT, 'Stats::add', 2, 3);   # [5]

The host usually installs a sub for each function (L<Veltrix::Host>), so that Perl code calls C<Stats::add(2, 3)>
directly. The function runs in C++ on the calling thread and may call Perl again. A C++ exception dies as a
L<Veltrix::Client::Exception> whose C<message> is the exception's text and C<class> its C++ type; an unknown
name dies with "No host function named main::nope (never defined, or released)". The C++ runtime answers
C<InvokeGlobalMethod> and C<DestructReference> only; other commands die with a message saying so. See
F<docs/command-format.md> for the whole contract.

=head1 LIFETIME

A handle in an answer is a L<Veltrix::Client::Handle>. When the last Perl reference to it goes, it releases
the value on the other side (one DestructReference command); so does a handle that nobody kept, such as
the result of a method that returns its own object. C<release> releases at once. Nothing is sent during
global destruction. Handles built by hand (C<< Veltrix::Core::Protocol::Handle->new($id) >>) are never
released by the client.

=head1 THREADS

Calls through the bridge are safe from any number of Perl threads: each command and the reading of its
answer are one step under a process-wide lock (see L<Veltrix::Bridge::Native>). A client object may be
used in several threads (each gets a copy); a handle belongs to the thread that received it (a new
thread has an unblessed reference to C<undef> in its place). A custom C<transport> must serialise
itself if threads share what it uses.

=cut
