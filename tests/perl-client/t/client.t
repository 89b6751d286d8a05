# client.t: Veltrix::Client's commands, values and errors, with the product's receiver module answering in-process.
use strict;
use warnings;
use Test::More;
use Cwd ();

BEGIN { unshift @INC, $ENV{VELTRIX_PERL_LIB_DIR} // die "VELTRIX_PERL_LIB_DIR is not set\n" }

use Veltrix::Client;
use Veltrix::Core::Protocol::Codec qw(:commands F_LIST_CONTEXT F_BY_VALUE);
use Veltrix::Core::Receiver::Receiver;

# Code the receiver runs for the commands below.
package Target::Counter {
    sub new   { my ($class, %a) = @_; bless {count => $a{start} // 0}, $class }
    sub step  { $_[0]{count} += $_[1] // 1; $_[0] }
    sub pair  { (1, 'two') }
    sub fail  { die "Whoopsie [expected]\n" } BEGIN { our $fail_line = __LINE__ }
    sub fail_object  { die Target::Error->new("object [expected]") }
    sub leave { exit 3 }
}
package Target::Error {
    use overload '""' => sub { $_[0]{text} }, fallback => 1;
    sub new { bless {text => $_[1]}, $_[0] }
    sub text { $_[0]{text} }
}
package main;

my $receiver = \&Veltrix::Core::Receiver::Receiver::execute_message;
my $perl = Veltrix::Client->new(runtime => 'Perl', transport => $receiver);

sub bytes_of { [unpack 'C*', $_[0]] }
sub error_of (&) { my ($code) = @_; eval { $code->(); 1 } ? undef : $@ }

subtest 'headers carry runtimes, channel, address octets and a little-endian port' => sub {
    my $clr = Veltrix::Client->new(runtime => 'Clr', transport => $receiver);
    is_deeply bytes_of($clr->header('InvokeStaticMethod')), [0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 2],
        'in-memory: called 0, calling Perl (4) at offset 9, type at offset 10';

    my $jvm = Veltrix::Client->new(runtime => 'jvm', version => 3, channel => 'tcp', address => '10.0.0.1',
                                   port => 8080, transport => $receiver);
    is_deeply bytes_of($jvm->header(CMD_GET_STATIC_FIELD)), [2, 3, 1, 10, 0, 0, 1, 0x90, 0x1F, 4, 3],
        'tcp 10.0.0.1:8080 gives octets 10 0 0 1 and port bytes 0x90 0x1F';

    my $tls = Veltrix::Client->new(runtime => 'NETCORE', channel => 'TLS', address => '192.168.254.007',
                                   port => 65534, transport => $receiver);
    is_deeply bytes_of($tls->header('Value')), [3, 0, 2, 192, 168, 254, 7, 0xFE, 0xFF, 4, 0],
        'tls: channel 2, decimal octets (leading zeros are not octal), high port byte second';
    is $tls->address, '192.168.254.7', 'address normalised';
    is ord(Veltrix::Client->new(runtime => 'python2', transport => $receiver)->header(0)), 10, 'Python2 is 10';
};

subtest 'a message is the header followed by the body' => sub {
    my $message = $perl->message('InvokeGlobalMethod', F_LIST_CONTEXT, 'List::Util::sum', 1, 2.5, "x");
    is unpack('H*', $message), unpack('H*', pack('C11 C V', 4, (0) x 8, 4, 16, F_LIST_CONTEXT, 4)
        . pack('CV/a*', 5, 'List::Util::sum') . pack('Cq<', 3, 1) . pack('Cd<', 4, 2.5) . pack('CV/a*', 5, 'x')),
        'header, flags, count, then each argument';
};

subtest 'bad client options are refused at the caller' => sub {
    my @cases = (
        [{runtime => 'Cobol'}, qr/\AUnknown runtime 'Cobol'/],
        [{runtime => -1}, qr/\AUnknown runtime '-1'/],
        [{}, qr/\ARuntime missing/],
        [{runtime => 0, channel => 'udp'}, qr/\AUnknown channel 'udp'/],
        [{runtime => 0, channel => 'tcp', port => 80}, qr/\AAn IPv4 address .* got none/],
        [{runtime => 0, channel => 'tcp', address => '256.0.0.1', port => 80}, qr/got 256\.0\.0\.1/],
        [{runtime => 0, channel => 'tls', address => '10.0.0.1'}, qr/\AA port from 1 to 65535 .* got none/],
        [{runtime => 0, channel => 'tcp', address => '10.0.0.1', port => 65536}, qr/got 65536 /],
        [{runtime => 0, port => 80}, qr/\AAn in-memory channel takes no address or port/],
        [{runtime => 0, version => 256}, qr/\ARuntime version must be a number from 0 to 255, got 256/],
        [{runtime => 0, colour => 'red'}, qr/\AUnknown option\(s\): colour/],
        [{runtime => 0, transport => 'send'}, qr/\Atransport must be a code reference/],
    );
    for my $case (@cases) {
        my ($options, $expected) = @$case;
        my $line = __LINE__ + 1;
        my $error = error_of { Veltrix::Client->new(%$options) };
        like $error, $expected, join(',', map {"$_=$options->{$_}"} sort keys %$options);
        like $error, qr/ at \Q${\__FILE__}\E line $line\.$/, '... reported at the caller';
    }
    like error_of { $perl->execute('NoSuchCommand') }, qr/\AUnknown command type 'NoSuchCommand'/, 'command name';
    like error_of { $perl->message('Value', 4) }, qr/\AFlags must be a combination of F_LIST_CONTEXT and F_BY_VALUE, got 4/,
        'reserved flag bits';
    my $line = __LINE__ + 1;
    like error_of { $perl->execute_with_flags('Value', 8, 1) }, qr/\AFlags must be .* got 8 at \Q${\__FILE__}\E line $line\.$/,
        '... also on a whole call, reported at the caller';
    is $perl->execute('0', 'by number'), 'by number', 'a command type may be its number';
};

# What each Perl value becomes on the wire is the codec's test, and what a command does the receiver's.
subtest "values come back as Perl values, the client's flags apply" => sub {
    my $every = [42, -9_000_000_000, 0.25, "caf\x{e9} \x{263a}", "\x00\xff\x80", undef, !!1, {k => ['v']},
                 "\x{263a}" x 100_000 . 'end'];
    is_deeply $perl->execute_with_flags('Value', F_BY_VALUE, $every), $every,
        'numbers, text, bytes, undef, nesting, a long string in one piece';
    is $perl->execute('Value', [1])->type, 'ARRAY', 'without the by-value flag an array stays remote';
    is_deeply $perl->execute_with_flags('InvokeStaticMethod', F_LIST_CONTEXT, 'Target::Counter', 'pair'),
        [1, 'two'], 'list context gives all returned values';
};

subtest 'handles stand for remote objects and are released when Perl lets go of them' => sub {
    my $kept = Veltrix::Core::Receiver::Receiver::handle_count();
    my $counter = $perl->create_instance('Target::Counter', start => 5);
    isa_ok $counter, 'Veltrix::Client::Handle';
    is_deeply [$counter->type, $counter->client], ['Target::Counter', $perl], 'type name and client';
    $perl->invoke_instance_method($counter, 'step', 2) for 1 .. 3;
    is $perl->get_instance_field($counter, 'count'), 11, 'state kept on the other side';
    is Veltrix::Core::Receiver::Receiver::handle_count(), $kept + 1,
        'the handles a method returning its object gave back are released at once';
    is $perl->execute('GetInstanceField',
        $perl->nested('InvokeInstanceMethod', $perl->nested('CreateClassInstance', 'Target::Counter', start => 1),
                      'step', 10), 'count'), 11, 'nested commands run first';
    undef $counter;
    is Veltrix::Core::Receiver::Receiver::handle_count(), $kept, 'the last reference gone, the handle is released';

    my @warnings;
    local $SIG{__WARN__} = sub { push @warnings, @_ };
    $counter = $perl->create_instance('Target::Counter');
    is $perl->release($counter), undef, 'release';
    ok $counter->released, '... marks the handle';
    undef $counter;
    is_deeply [Veltrix::Core::Receiver::Receiver::handle_count(), @warnings], [$kept], 'which then sends nothing more';

    # At global destruction nothing is sent: this transport would fail and the handle would warn.
    my $lib = $ENV{VELTRIX_PERL_LIB_DIR};
    my $output = `"$^X" -I"$lib" -MVeltrix::Client -MVeltrix::Core::Receiver::Receiver -e '
        my \$c = Veltrix::Client->new(runtime => 4, transport => sub {
            die "sent at destruction\n" if \${^GLOBAL_PHASE} eq "DESTRUCT";
            Veltrix::Core::Receiver::Receiver::execute_message(\$_[0]) });
        our \$kept = \$c->execute("Array", 1); print ref \$kept' 2>&1`;
    is $output, 'Veltrix::Client::Handle', 'a handle alive at the end of the program is left alone';
};

subtest 'Exception answers die as Veltrix::Client::Exception, a Veltrix::Error, with the remote text' => sub {
    my $line = __LINE__ + 1;
    my $error = error_of { $perl->invoke_static_method('Target::Counter', 'fail') };
    isa_ok $error, $_ for qw(Veltrix::Client::Exception Veltrix::Error);
    is_deeply [map { $error->$_ } qw(message class stack runtime file line object exit_status)],
        ["Whoopsie [expected]\n", '', "died at ${\ Cwd::abs_path(__FILE__) } line $Target::Counter::fail_line\nTarget::Counter::fail called from the calling runtime",
         4, __FILE__, $line, undef, undef],
        'remote text, no class, remote stack, runtime, the place of the call here';
    is "$error", "Whoopsie [expected]\n", 'stringifies to the remote text, unchanged';

    $error = error_of { $perl->invoke_static_method('Target::Counter', 'fail_object') };
    is_deeply ["$error", $error->class, $error->object->type], ['object [expected]', 'Target::Error', 'Target::Error'],
        'an exception object: its text, its class, and a handle to it';
    is $perl->invoke_instance_method($error->object, 'text'), 'object [expected]', 'whose methods can be called';

    $error = error_of { $perl->invoke_static_method('Target::Counter', 'leave') };
    is_deeply [$error->class, $error->exit_status], ['Veltrix::Exit', 3], 'an exit: its status';

    is "${\ error_of { $perl->execute('GetModule', 'x') } }", "Command type 8 (GetModule) has no meaning in Perl\n",
        'refused command type';
    is $perl->execute('Value', 'after'), 'after', 'the next command works';
};

subtest "the client's own failures are placed in the caller's code" => sub {
    my $answer;
    my $client = Veltrix::Client->new(runtime => 'Clr', transport => sub { $answer });
    my %refused = (
        'Unexpected answer: command type 5 (CreateClassInstance)' => pack('C11 C q<', 4, (0) x 8, 0, 5, 3, 1),
        'Malformed command: response of 3 bytes is shorter than the 11-byte header' => "\x04\x00\x00",
        'Malformed command: an Exception answer must carry a map of message, class and stack'
            => pack('C11 C q<', 4, (0) x 8, 0, 10, 3, 1),
    );
    for my $text (sort keys %refused) {
        $answer = $refused{$text};
        my $line = __LINE__ + 1;
        is error_of { $client->execute('Value', 1) }, "$text at ${\ __FILE__ } line $line.\n", $text;
        is error_of { $client->send_message('x') }, "$text at ${\ __FILE__ } line ${\ ($line + 1) }.\n",
            '... also through send_message';
    }
    my $line = __LINE__ + 1;
    is error_of { $client->execute('Value', \1) },
        "Cannot send a Perl reference (SCALAR) in this direction at ${\ __FILE__ } line $line.\n", 'a value it cannot send';
    $answer = pack('C11 C', 4, (0) x 8, 0, 11, 0);
    is $client->execute('HeartBeat'), undef, 'a heartbeat answer gives its value';

    my $failure = bless {}, 'Some::Failure';
    my $failing = Veltrix::Client->new(runtime => 'Clr', transport => sub { die $failure });
    is error_of { $failing->execute('Value', 1) }, $failure, "the transport's own failure passes unchanged";
};

done_testing;
