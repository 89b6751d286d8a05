# The C codec: wire types of Perl values, round trips, and malformed input refused with its offset.
use strict;
use warnings;
use Test::More;
use Veltrix::Core::Protocol::Codec qw(:all);
use Veltrix::Core::Receiver::Receiver;

my $header = pack('C11', 4, (0) x 8, 8, CMD_VALUE);
sub body_of { substr(encode_command($header, 0, [@_]), 16) }
sub error_of (&) { my ($code) = @_; eval { $code->(); 1 } ? undef : $@ }
sub answer { (decode_response(Veltrix::Core::Receiver::Receiver::execute_message($_[0])))[1] }

subtest 'scalars pick their wire type from how Perl made them' => sub {
    my $upgraded = "caf\xe9";
    utf8::upgrade($upgraded);
    my @cases = (
        [undef, "\x00", 'undef is null'],
        [!!1, "\x02", 'true'],
        [1 == 0, "\x01", 'a comparison result is a boolean'],
        [-2, "\x03" . pack('q<', -2), 'integer'],
        [9223372036854775807, "\x03" . pack('q<', 9223372036854775807), 'largest int64'],
        [-9223372036854775808, "\x03" . pack('q<', -9223372036854775808), 'smallest int64'],
        [18446744073709551615, "\x05" . pack('V/a*', '18446744073709551615'), 'big unsigned keeps its digits'],
        [1.0, "\x04" . pack('d<', 1.0), '1.0 stays a double'],
        ["12", "\x05" . pack('V/a*', '12'), 'a numeric-looking string stays a string'],
        ["h\x{e9}llo \x{263a}", "\x05" . pack('V/a*', "h\xc3\xa9llo \xe2\x98\xba"), 'characters go as UTF-8'],
        [$upgraded, "\x05" . pack('V/a*', "caf\xc3\xa9"), 'an upgraded string is characters'],
        ["\x00\xff\x01", "\x06" . pack('V/a*', "\x00\xff\x01"), 'high bytes make a byte string'],
        ["a\x00b", "\x05" . pack('V/a*', "a\x00b"), 'ASCII with NUL is a string'],
        [[1, 'a'], "\x07" . pack('V', 2) . "\x03" . pack('q<', 1) . "\x05" . pack('V/a*', 'a'), 'array ref is a list'],
        [{$upgraded => 1}, "\x08" . pack('V', 1) . pack('CV/a*', 5, "caf\xc3\xa9") . pack('Cq<', 3, 1),
         'a character key Perl keeps in Latin-1 stays a string'],
        [{"\xff" => undef}, "\x08" . pack('V', 1) . pack('CV/a*', 6, "\xff") . "\x00", 'a byte key is bytes'],
        [Veltrix::Core::Protocol::Handle->new(7, 'Foo'), "\x09" . pack('Q<V/a*', 7, 'Foo'), 'a handle goes back as itself'],
    );
    is(unpack('H*', body_of($_->[0])), unpack('H*', $_->[1]), $_->[2]) for @cases;
};

subtest 'what a client cannot send' => sub {
    my $cycle = [];
    push @$cycle, $cycle;
    my %refused = (
        'Value nested deeper than 64 levels (or a reference cycle)' => $cycle,
        'Cannot send a Perl reference (SCALAR) in this direction'   => \1,
        'Cannot send a Perl reference (Foo) in this direction'      => bless({}, 'Foo'),
        'A command can only be an argument of another command' => [Veltrix::Core::Protocol::Command->new(CMD_VALUE, 0)],
        'Cannot send a string holding a surrogate or a code point above U+10FFFF (at byte 0)' => "\x{110000}",
    );
    is(error_of { body_of($refused{$_}) }, "$_\n", $_) for sort keys %refused;
    my $deep = 1;
    $deep = Veltrix::Core::Protocol::Command->new(CMD_VALUE, 0, $deep) for 1 .. 65;
    is(error_of { body_of($deep) }, "Commands nested deeper than 64 levels\n", 'commands nest 64 levels at most');
};

subtest 'malformed input is described with its offset, never guessed' => sub {
    my $one = "\x00" x 11 . "\x00" . pack('V', 1);
    my %cases = (
        "message of 10 bytes is shorter than the 11-byte header" => "\x04" x 10,
        "command body at offset 11 is cut off (flags and argument count need 5 bytes)" => "\x00" x 11,
        "command at offset 11 claims 3 arguments, only 1 bytes follow" => "\x00" x 11 . "\x00" . pack('V', 3) . "\x00",
        "unknown type tag 99 at offset 16" => "$one\x63",
        "value expected at offset 26, message ends" => "$one\x07" . pack('V', 2) . "\x05" . pack('V', 0),
        "string at offset 16 claims 10 bytes, only 3 follow" => "$one\x05" . pack('V', 10) . 'abc',
        "length of a byte string at offset 16 is cut off" => "$one\x06\x01",
        "number at offset 16 is cut off" => "$one\x03\x01\x02",
        "list at offset 16 claims 4294967295 entries, only 0 bytes follow" => "$one\x07" . pack('V', 0xffffffff),
        "map at offset 16 claims 3 entries, only 4 bytes follow" => "$one\x08" . pack('V', 3) . "\x00" x 4,
        "handle at offset 16 is cut off" => "$one\x09" . "\x00" x 8,
        "type name of the handle at offset 16 claims 9 bytes, only 0 follow" => "$one\x09" . pack('Q<V', 1, 9),
        "1 bytes left over after the command at offset 16" => "\x00" x 11 . "\x00" . pack('V', 0) . "\x00",
        "a command at offset 21 may only appear as a command argument" => "$one\x07" . pack('V', 1) . "\x0a\x00",
        "map key at offset 21 is not a scalar" => "$one\x08" . pack('V', 1) . "\x07" . pack('V', 0) . "\x00",
        "list at offset 336 is nested deeper than 64 levels" => $one . ("\x07" . pack('V', 1)) x 65 . "\x00",
        "nested command at offset 16 is cut off" => "$one\x0a",
        "commands nested deeper than 64 levels" => $one . ("\x0a\x00\x00" . pack('V', 1)) x 65 . "\x00",
    );
    # Well-formed UTF-8 only: overlong forms, surrogates, code points above U+10FFFF, 5-byte forms, stray bytes.
    for my $bad ("\xc0\x80", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "ok\x80", "\xc3") {
        $cases{'string at offset 16 is not valid UTF-8 [' . unpack('H*', $bad) . ']'} = "$one\x05" . pack('V/a*', $bad);
    }
    for my $text (sort keys %cases) {
        my $answer = Veltrix::Core::Receiver::Receiver::execute_message($cases{$text});
        my ($type, $value) = decode_response($answer);
        (my $expected = $text) =~ s/ \[\w+\]\z//;
        is("$type $value->{message}", "10 Malformed command: $expected\n", $text);
    }
    is(answer(encode_command($header, 0, ["\x{10ffff}\x{7ff}"])), "\x{10ffff}\x{7ff}", 'the largest code points pass');
};

subtest 'responses and messages in character strings' => sub {
    my $response = pack('C11 C q<', (0) x 11, T_INT64, -5);
    my $upgraded = $response;
    utf8::upgrade($upgraded);
    is_deeply([decode_response($upgraded)], [0, -5], 'an upgraded response decodes as its bytes');
    my %refused = (
        'response holds characters above 0xFF, not bytes' => "\x{100}" x 20,
        'response of 3 bytes is shorter than the 11-byte header' => "\x04\x00\x00",
        '1 bytes left over after the response value at offset 20' => "$response\x00",
    );
    is(error_of { decode_response($refused{$_}) }, "Malformed command: $_\n", $_) for sort keys %refused;
    my ($type, $error) = decode_response(Veltrix::Core::Receiver::Receiver::execute_message("\x{100}" x 20));
    is($error->{message}, "Malformed command: message holds characters above 0xFF, not bytes\n", 'wide message refused');
    my $handle = (decode_response(pack('C11 C Q< V/a*', (0) x 11, T_HANDLE, 3, "\xc3\xa9")))[1];
    is_deeply([$handle->id, $handle->type], [3, "\x{e9}"], 'a handle in a response becomes an object');
};

done_testing;
