# Encoding and decoding of values, commands and responses by Veltrix::Core::Protocol::Codec.
use strict;
use warnings;
use Test::More;
use Veltrix::Core::Protocol::Codec qw(:all);

sub encoded {
    my ($value, $by_value) = @_;
    my $out = '';
    encode_value(\$out, $value, $by_value, sub { 42 });
    return $out;
}

sub round_trip {
    my ($value) = @_;
    my $bytes = encoded($value, 1);
    my $pos = 0;
    my $back = decode_value(\$bytes, \$pos);
    is($pos, length $bytes, 'whole value consumed');
    return $back;
}

subtest 'scalars pick their wire type from how Perl made them' => sub {
    is(encoded(undef), "\x00", 'undef is null');
    is(encoded(!!1), "\x02", 'true');
    is(encoded(1 == 0), "\x01", 'a comparison result is a boolean');
    is(encoded(-2), "\x03" . pack('q<', -2), 'integer');
    is(encoded(9223372036854775807), "\x03" . pack('q<', 9223372036854775807), 'largest int64');
    is(encoded(-9223372036854775808), "\x03" . pack('q<', -9223372036854775808), 'smallest int64');
    is(encoded(18446744073709551615), "\x05" . pack('V/a*', '18446744073709551615'), 'big unsigned keeps its digits');
    is(encoded(1.0), "\x04" . pack('d<', 1.0), '1.0 stays a double');
    is(encoded(0.5), "\x04" . pack('d<', 0.5), 'double');
    is(encoded("12"), "\x05" . pack('V/a*', '12'), 'a numeric-looking string stays a string');
    is(encoded("h\x{e9}llo \x{263a}"), "\x05" . pack('V/a*', "h\xc3\xa9llo \xe2\x98\xba"), 'characters go as UTF-8');
    is(encoded("\x00\xff\x01"), "\x06" . pack('V/a*', "\x00\xff\x01"), 'high bytes make a byte string');
    is(encoded("a\x00b"), "\x05" . pack('V/a*', "a\x00b"), 'ASCII with NUL is a string');
};

subtest 'references travel as handles unless sent by value' => sub {
    is(encoded([1]), "\x09" . pack('Q<V/a*', 42, 'ARRAY'), 'array ref is a handle');
    is(encoded(bless({}, 'Foo'), 1), "\x09" . pack('Q<V/a*', 42, 'Foo'), 'an object is a handle even by value');
    is(encoded([1, 'a'], 1), "\x07" . pack('V', 2) . "\x03" . pack('q<', 1) . "\x05" . pack('V/a*', 'a'), 'list by value');
    my $cycle = [];
    push @$cycle, $cycle;
    eval { encoded($cycle, 1) };
    like($@, qr/nested deeper than 64 levels/, 'a cycle is refused, not followed forever');
    my $out = '';
    eval { encode_value(\$out, \1, 0, undef) };
    like($@, qr/Cannot send a Perl reference \(SCALAR\)/, 'no handle table, no references');
};

subtest 'values survive a round trip' => sub {
    my $value = {
        list   => [1, -1, 0.25, undef, !!1, !!0, "\x{4e16}\x{754c}", "\x00\x80\xff"],
        nested => {deeper => [[[]], {}]},
        big    => -9223372036854775808,
    };
    is_deeply(round_trip($value), $value, 'nested lists and maps');
    my $upgraded = "gr\x{fc}\x{df}e";
    utf8::upgrade($upgraded);
    my $text = round_trip($upgraded);
    is($text, "gr\x{fc}\x{df}e", 'UTF-8 text decodes to characters');
    ok(utf8::is_utf8($text), 'as a character string');
    my $bytes = "\x00\xc3\x28\xff";
    is(round_trip($bytes), $bytes, 'bytes, even invalid UTF-8, come back unchanged');
    my $handle = round_trip(Veltrix::Core::Protocol::Handle->new(7, 'Foo'));
    isa_ok($handle, 'Veltrix::Core::Protocol::Handle');
    is($handle->id, 7, 'handle id');
    is($handle->type, 'Foo', 'handle type');
};

subtest 'header and command layout' => sub {
    my $header = encode_header(called_runtime => 4, called_runtime_version => 4, channel => 1,
        address => '10.0.0.1', port => 8080, calling_runtime => 8, command_type => 16);
    is(unpack('H*', $header), '0404010a000001901f0810', 'eleven header bytes, port little-endian');

    my $inner = Veltrix::Core::Protocol::Command->new(CMD_CREATE_CLASS_INSTANCE, 0, 'Foo', 1);
    my $msg = encode_message({command_type => CMD_INVOKE_INSTANCE_METHOD}, F_LIST_CONTEXT, [$inner, 'run', [1, 2]]);
    my $cmd = decode_message($msg);
    is($cmd->[0], CMD_INVOKE_INSTANCE_METHOD, 'type from the header');
    is($cmd->[1], F_LIST_CONTEXT, 'flags');
    is_deeply($cmd->[3], [1], 'first argument marked as nested command');
    is_deeply($cmd->[2][0], [CMD_CREATE_CLASS_INSTANCE, 0, ['Foo', 1], undef], 'nested command decoded');
    is_deeply([@{$cmd->[2]}[1, 2]], ['run', [1, 2]], 'plain arguments');
};

subtest 'malformed input is described, never guessed' => sub {
    my %cases = (
        'short message'         => ["\x04" x 10, qr/shorter than the 11-byte header/],
        'no body'               => ["\x00" x 11, qr/command body at offset 11 is cut off/],
        'too many arguments'    => ["\x00" x 11 . "\x00" . pack('V', 3) . "\x00", qr/claims 3 arguments, only 1 bytes follow/],
        'unknown tag'           => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x63", qr/unknown type tag 99 at offset 16/],
        'string cut off'        => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x05" . pack('V', 10) . 'abc', qr/claims 10 bytes, only 3 follow/],
        'length cut off'        => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x06\x01", qr/length of a byte string at offset 16 is cut off/],
        'number cut off'        => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x03\x01\x02", qr/number at offset 16 is cut off/],
        'list claims too much'  => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x07" . pack('V', 0xffffffff), qr/list at offset 16 claims 4294967295 entries/],
        'bad UTF-8'             => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x05" . pack('V/a*', "\xc3\x28"), qr/not valid UTF-8/],
        'leftover bytes'        => ["\x00" x 11 . "\x00" . pack('V', 0) . "\x00", qr/1 bytes left over/],
        'command inside a list' => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x07" . pack('V', 1) . "\x0a\x00", qr/may only appear as a command argument/],
        'map key not scalar'    => ["\x00" x 11 . "\x00" . pack('V', 1) . "\x08" . pack('V', 1) . "\x07" . pack('V', 0) . "\x00", qr/map key at offset 21 is not a scalar/],
        'too deep'              => ["\x00" x 11 . "\x00" . pack('V', 1) . ("\x07" . pack('V', 1)) x 65 . "\x00", qr/nested deeper than 64 levels/],
    );
    for my $name (sort keys %cases) {
        my ($bytes, $expected) = @{$cases{$name}};
        eval { decode_message($bytes) };
        like($@, qr/\AMalformed command: /, "$name: malformed");
        like($@, $expected, "$name: says why");
    }
};

subtest 'messages and responses held in character strings' => sub {
    my $msg = "\x04" . "\x00" x 8 . "\x08\x00" . "\x00" . pack('V', 2) . pack('Cq<', T_INT64, -5) . pack('CV/a*', T_BYTES, "\xff");
    my $upgraded = $msg;
    utf8::upgrade($upgraded);
    is_deeply(decode_message($upgraded)->[2], [-5, "\xff"], 'an upgraded message decodes as its bytes');
    eval { decode_message("\x{100}" x 20) };
    like($@, qr/\AMalformed command: message holds characters above 0xFF/, 'wide characters are refused');
    for my $value (undef, -7, 2**40, 'text', [1, 'two']) {
        my $response = "\x00" x 11;
        encode_value(\$response, $value, 1);
        my ($type, $back) = decode_response($response);
        is_deeply([$type, $back], [0, $value], 'response value ' . ($value // 'undef'));
        utf8::upgrade($response);
        is_deeply([decode_response($response)], [0, $value], 'the same response upgraded');
    }
    eval { decode_response("\x00" x 11 . pack('Cq<', T_INT64, 1) . "\x00") };
    like($@, qr/1 bytes left over/, 'a lone integer with bytes after it is not taken as one');
};

done_testing;
