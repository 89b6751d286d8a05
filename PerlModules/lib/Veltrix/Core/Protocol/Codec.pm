# Codec.pm: encoder and decoder of the command format (header, commands, values) shared by both directions.
package Veltrix::Core::Protocol::Codec;

use strict;
use warnings;

use B ();
use Scalar::Util qw(blessed);
use Exporter qw(import);

our $VERSION = '1.000';

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

# Command types carried in header byte 10.
use constant {
    CMD_VALUE                   => 0,
    CMD_LOAD_LIBRARY            => 1,
    CMD_INVOKE_STATIC_METHOD    => 2,
    CMD_GET_STATIC_FIELD        => 3,
    CMD_SET_STATIC_FIELD        => 4,
    CMD_CREATE_CLASS_INSTANCE   => 5,
    CMD_GET_TYPE                => 6,
    CMD_REFERENCE               => 7,
    CMD_GET_MODULE              => 8,
    CMD_INVOKE_INSTANCE_METHOD  => 9,
    CMD_EXCEPTION               => 10,
    CMD_HEART_BEAT              => 11,
    CMD_CAST                    => 12,
    CMD_GET_INSTANCE_FIELD      => 13,
    CMD_OPTIMIZE_ROUTE          => 14,
    CMD_GENERATE_LIB            => 15,
    CMD_INVOKE_GLOBAL_METHOD    => 16,
    CMD_DESTRUCT_REFERENCE      => 17,
    CMD_ARRAY_REFERENCE         => 18,
    CMD_ARRAY_GET_ITEM          => 19,
    CMD_ARRAY_GET_SIZE          => 20,
    CMD_ARRAY_GET_RANK          => 21,
    CMD_ARRAY_SET_ITEM          => 22,
    CMD_ARRAY                   => 23,
    CMD_RETRIEVE_ARRAY          => 24,
    CMD_SET_INSTANCE_FIELD      => 25,
    CMD_INVOKE_GENERIC_STATIC_METHOD => 26,
    CMD_INVOKE_GENERIC_METHOD   => 27,
    CMD_GET_ENUM_ITEM           => 28,
    CMD_GET_ENUM_NAME           => 29,
    CMD_GET_ENUM_VALUE          => 30,
    CMD_AS_REF                  => 31,
    CMD_AS_OUT                  => 32,
    CMD_GET_REF_VALUE           => 33,
};

our @COMMAND_NAMES = qw(
    Value LoadLibrary InvokeStaticMethod GetStaticField SetStaticField CreateClassInstance GetType Reference
    GetModule InvokeInstanceMethod Exception HeartBeat Cast GetInstanceField OptimizeRoute GenerateLib
    InvokeGlobalMethod DestructReference ArrayReference ArrayGetItem ArrayGetSize ArrayGetRank ArraySetItem
    Array RetrieveArray SetInstanceField InvokeGenericStaticMethod InvokeGenericMethod GetEnumItem GetEnumName
    GetEnumValue AsRef AsOut GetRefValue
);

our @EXPORT_OK = (
    qw(T_NULL T_FALSE T_TRUE T_INT64 T_DOUBLE T_STRING T_BYTES T_LIST T_MAP T_HANDLE T_COMMAND),
    qw(F_LIST_CONTEXT F_BY_VALUE HEADER_LENGTH MAX_DEPTH PERL_RUNTIME),
    qw(encode_value encode_command_body encode_message encode_header decode_value decode_command_body
        decode_message decode_response command_name),
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

sub _malformed { die "Malformed command: $_[0]\n" }

# ---------------------------------------------------------------------------------------------------------
# Encoding. Everything appends to the string that $out refers to.
# $by_value: unblessed array and hash references travel as lists and maps instead of handles.
# $handle_out: code ref taking a Perl reference and returning its handle id; undef refuses references.

my $IV_MAX = 9223372036854775807;

# Hot path of every value: few ops, no argument list copied but the value itself (our own copy to encode).
sub encode_value {
    my $v = $_[1];
    if (!defined $v) {
        ${$_[0]} .= "\x00";
        return;
    }
    if (ref $v) {
        _encode_ref($_[0], $v, $_[2], $_[3], $_[4] // 0);
        return;
    }
    no warnings 'experimental::builtin';
    if (builtin::created_as_number($v)) {
        my $flags = B::svref_2object(\$v)->FLAGS;
        if (!($flags & B::SVf_IOK)) {
            ${$_[0]} .= pack('Cd<', T_DOUBLE, $v);
        } elsif (($flags & B::SVf_IVisUV) && $v > $IV_MAX) {
            # Unsigned values beyond the signed range keep their exact digits.
            ${$_[0]} .= pack('CV/a*', T_STRING, "$v");
        } else {
            ${$_[0]} .= pack('Cq<', T_INT64, $v);
        }
        return;
    }
    if (builtin::is_bool($v)) {
        ${$_[0]} .= $v ? "\x02" : "\x01";
        return;
    }
    if (utf8::is_utf8($v)) {
        utf8::encode($v);    # $v is our own copy
        ${$_[0]} .= pack('CV/a*', T_STRING, $v);
    } else {
        ${$_[0]} .= pack('CV/a*', $v =~ /[\x80-\xff]/ ? T_BYTES : T_STRING, $v);
    }
    return;
}

sub _encode_ref {
    my ($out, $v, $by_value, $handle_out, $depth) = @_;
    my $class = blessed $v;
    if (defined $class) {
        if ($class eq 'Veltrix::Core::Protocol::Handle') {
            $$out .= pack('CQ<V/a*', T_HANDLE, $v->{id}, _utf8_bytes($v->{type} // ''));
            return;
        }
        if ($class eq 'Veltrix::Core::Protocol::Command') {
            die "A command can only be an argument of another command\n";
        }
    } elsif ($by_value) {
        my $kind = ref $v;
        if ($kind eq 'ARRAY') {
            die "Value nested deeper than " . MAX_DEPTH . " levels (or a reference cycle)\n" if $depth >= MAX_DEPTH;
            $$out .= pack('CV', T_LIST, scalar @$v);
            encode_value($out, $_, $by_value, $handle_out, $depth + 1) for @$v;
            return;
        }
        if ($kind eq 'HASH') {
            die "Value nested deeper than " . MAX_DEPTH . " levels (or a reference cycle)\n" if $depth >= MAX_DEPTH;
            $$out .= pack('CV', T_MAP, scalar keys %$v);
            for my $key (keys %$v) {
                encode_value($out, $key, 0, undef, $depth + 1);
                encode_value($out, $v->{$key}, $by_value, $handle_out, $depth + 1);
            }
            return;
        }
    }
    die "Cannot send a Perl reference (" . ref($v) . ") in this direction\n" unless $handle_out;
    my $id = $handle_out->($v);
    $$out .= pack('CQ<V/a*', T_HANDLE, $id, _utf8_bytes(ref $v));
    return;
}

sub _utf8_bytes {
    my ($text) = @_;
    utf8::encode($text) if utf8::is_utf8($text);
    return $text;
}

# Body of a command: flags, argument count, arguments. Arguments that are Veltrix::Core::Protocol::Command
# objects become nested commands; unblessed array and hash references travel as lists and maps.
sub encode_command_body {
    my ($out, $flags, $args, $handle_out, $depth) = @_;
    $depth //= 0;
    $$out .= pack('CV', $flags // 0, scalar @$args);
    for my $arg (@$args) {
        if (!defined $arg) {
            $$out .= "\x00";
        } elsif (!ref $arg) {
            encode_value($out, $arg, 1, $handle_out, $depth);
        } elsif (blessed($arg) && $arg->isa('Veltrix::Core::Protocol::Command')) {
            die "Commands nested deeper than " . MAX_DEPTH . " levels\n" if $depth >= MAX_DEPTH;
            $$out .= pack('CC', T_COMMAND, $arg->{type});
            encode_command_body($out, $arg->{flags}, $arg->{args}, $handle_out, $depth + 1);
        } else {
            encode_value($out, $arg, 1, $handle_out, $depth);
        }
    }
    return;
}

# The 11 header bytes. %h: called_runtime, called_runtime_version, channel, address (a.b.c.d), port,
# calling_runtime, command_type; missing fields are 0.
sub encode_header {
    my (%h) = @_;
    my @octets = defined $h{address} ? split(/\./, $h{address}) : (0, 0, 0, 0);
    return pack('C3 C4 v C C',
        $h{called_runtime} // 0, $h{called_runtime_version} // 0, $h{channel} // 0,
        @octets[0 .. 3], $h{port} // 0, $h{calling_runtime} // 0, $h{command_type} // 0);
}

# A whole command message: header fields (as for encode_header) plus flags and arguments.
sub encode_message {
    my ($header, $flags, $args, $handle_out) = @_;
    my $out = encode_header(%$header);
    encode_command_body(\$out, $flags, $args, $handle_out);
    return $out;
}

# ---------------------------------------------------------------------------------------------------------
# Decoding. $b is a reference to the message string, $p a reference to the read offset (message offsets,
# so a body starts at 11). $handle_in: code ref called as ($id, $type_name, $command_type) for each handle;
# its result stands for the handle. Without one, handles decode to Veltrix::Core::Protocol::Handle objects.

sub decode_value {
    my ($b, $p, $handle_in, $cmd_type, $depth) = @_;
    my $pos = $$p;
    my $len = length $$b;
    _malformed("value expected at offset $pos, message ends") if $pos >= $len;
    my $tag = ord substr($$b, $pos, 1);
    if ($tag == T_STRING || $tag == T_BYTES) {
        _malformed("length of a " . ($tag == T_STRING ? 'string' : 'byte string') . " at offset $pos is cut off")
            if $pos + 5 > $len;
        my $n = unpack('V', substr($$b, $pos + 1, 4));
        _malformed("string at offset $pos claims $n bytes, only " . ($len - $pos - 5) . " follow")
            if $n > $len - $pos - 5;
        my $s = substr($$b, $pos + 5, $n);
        if ($tag == T_STRING && $s =~ /[\x80-\xff]/) {
            utf8::decode($s) or _malformed("string at offset $pos is not valid UTF-8");
        }
        $$p = $pos + 5 + $n;
        return $s;
    }
    if ($tag == T_INT64 || $tag == T_DOUBLE) {
        _malformed("number at offset $pos is cut off") if $pos + 9 > $len;
        $$p = $pos + 9;
        return unpack($tag == T_INT64 ? 'q<' : 'd<', substr($$b, $pos + 1, 8));
    }
    if ($tag == T_NULL)  { $$p = $pos + 1; return undef; }
    if ($tag == T_TRUE)  { $$p = $pos + 1; return !!1; }
    if ($tag == T_FALSE) { $$p = $pos + 1; return !!0; }
    if ($tag == T_LIST || $tag == T_MAP) {
        my $what = $tag == T_LIST ? 'list' : 'map';
        _malformed("$what at offset $pos is cut off") if $pos + 5 > $len;
        $depth //= 0;
        _malformed("$what at offset $pos is nested deeper than " . MAX_DEPTH . " levels") if $depth >= MAX_DEPTH;
        my $n = unpack('V', substr($$b, $pos + 1, 4));
        my $min = $tag == T_LIST ? $n : 2 * $n;
        _malformed("$what at offset $pos claims $n entries, only " . ($len - $pos - 5) . " bytes follow")
            if $min > $len - $pos - 5;
        $$p = $pos + 5;
        if ($tag == T_LIST) {
            my @list;
            $#list = $n - 1;
            $list[$_] = decode_value($b, $p, $handle_in, $cmd_type, $depth + 1) for 0 .. $n - 1;
            return \@list;
        }
        my %map;
        for (1 .. $n) {
            my $kpos = $$p;
            my $key = decode_value($b, $p, $handle_in, $cmd_type, $depth + 1);
            _malformed("map key at offset $kpos is not a scalar") if ref $key || !defined $key;
            $map{$key} = decode_value($b, $p, $handle_in, $cmd_type, $depth + 1);
        }
        return \%map;
    }
    if ($tag == T_HANDLE) {
        _malformed("handle at offset $pos is cut off") if $pos + 13 > $len;
        my ($id, $n) = unpack('Q<V', substr($$b, $pos + 1, 12));
        _malformed("type name of the handle at offset $pos claims $n bytes, only " . ($len - $pos - 13) . " follow")
            if $n > $len - $pos - 13;
        my $type = substr($$b, $pos + 13, $n);
        utf8::decode($type);
        $$p = $pos + 13 + $n;
        return $handle_in ? $handle_in->($id, $type, $cmd_type)
                          : bless({id => $id, type => $type}, 'Veltrix::Core::Protocol::Handle');
    }
    if ($tag == T_COMMAND) {
        _malformed("a command at offset $pos may only appear as a command argument");
    }
    _malformed("unknown type tag $tag at offset $pos");
}

# Decodes a command body starting at $$p: returns [type, flags, \@args, \@nested] where @nested marks the
# argument positions that hold nested commands (themselves such array refs), or undef when there are none.
sub decode_command_body {
    my ($b, $p, $type, $handle_in, $depth) = @_;
    $depth //= 0;
    my $pos = $$p;
    my $len = length $$b;
    _malformed("command body at offset $pos is cut off (flags and argument count need 5 bytes)") if $pos + 5 > $len;
    my ($flags, $argc) = unpack('CV', substr($$b, $pos, 5));
    _malformed("command at offset $pos claims $argc arguments, only " . ($len - $pos - 5) . " bytes follow")
        if $argc > $len - $pos - 5;
    $$p = $pos + 5;
    my (@args, $nested);
    for my $i (0 .. $argc - 1) {
        my $at = $$p;
        if ($at < $len && ord(substr($$b, $at, 1)) == T_COMMAND) {
            _malformed("nested command at offset $at is cut off") if $at + 2 > $len;
            _malformed("commands nested deeper than " . MAX_DEPTH . " levels") if $depth >= MAX_DEPTH;
            my $inner_type = ord substr($$b, $at + 1, 1);
            $$p = $at + 2;
            $args[$i] = decode_command_body($b, $p, $inner_type, $handle_in, $depth + 1);
            ($nested //= [])->[$i] = 1;
        } else {
            $args[$i] = decode_value($b, $p, $handle_in, $type, $depth);
        }
    }
    return [$type, $flags, \@args, $nested];
}

# A whole command message: returns the decoded command ([type, flags, \@args, \@nested]). Plain scalar
# arguments are decoded inline: this is the path of every small call.
sub decode_message {
    # $_[0] is the message, read in place (never copied: it may be large).
    return decode_message(_as_bytes($_[0], 'message'), $_[1]) if utf8::is_utf8($_[0]);
    my $handle_in = $_[1];
    my $len = length $_[0];
    _malformed("message of $len bytes is shorter than the 11-byte header") if $len < HEADER_LENGTH;
    _malformed("command body at offset 11 is cut off (flags and argument count need 5 bytes)") if $len < 16;
    my ($type, $flags, $argc) = unpack('x10 C C V', $_[0]);
    _malformed("command at offset 11 claims $argc arguments, only " . ($len - 16) . " bytes follow")
        if $argc > $len - 16;
    my $pos = 16;
    my (@args, $nested);
    for my $i (0 .. $argc - 1) {
        my $tag = $pos < $len ? vec($_[0], $pos, 8) : -1;
        if ($tag == T_INT64 && $pos + 9 <= $len) {
            $args[$i] = unpack('q<', substr($_[0], $pos + 1, 8));
            $pos += 9;
        } elsif (($tag == T_STRING || $tag == T_BYTES) && $pos + 5 <= $len
            && (my $n = unpack('V', substr($_[0], $pos + 1, 4))) <= $len - $pos - 5) {
            $args[$i] = substr($_[0], $pos + 5, $n);
            if ($tag == T_STRING && $args[$i] =~ /[\x80-\xff]/) {
                utf8::decode($args[$i]) or _malformed("string at offset $pos is not valid UTF-8");
            }
            $pos += 5 + $n;
        } elsif ($tag == T_NULL) {
            $args[$i] = undef;
            ++$pos;
        } elsif ($tag == T_COMMAND) {
            _malformed("nested command at offset $pos is cut off") if $pos + 2 > $len;
            my $inner_type = vec($_[0], $pos + 1, 8);
            $pos += 2;
            $args[$i] = decode_command_body(\$_[0], \$pos, $inner_type, $handle_in, 1);
            ($nested //= [])->[$i] = 1;
        } else {
            $args[$i] = decode_value(\$_[0], \$pos, $handle_in, $type, 0);
        }
    }
    _malformed(($len - $pos) . " bytes left over after the command at offset $pos") if $pos != $len;
    return [$type, $flags, \@args, $nested];
}

# A character string given as a message: its bytes, when every character is one.
sub _as_bytes {
    my ($text, $what) = @_;
    utf8::downgrade($text, 1) or _malformed("$what holds characters above 0xFF, not bytes");
    return $text;
}

# A response: returns (command type, value). The value is the single value after the header.
sub decode_response {
    # $_[0] is the response, read in place.
    return decode_response(_as_bytes($_[0], 'response'), $_[1]) if utf8::is_utf8($_[0]);
    my $len = length $_[0];
    _malformed("response of $len bytes is shorter than the 11-byte header") if $len < HEADER_LENGTH;
    my $type = vec($_[0], 10, 8);
    # A lone integer or null, the answer of most calls, without the general decoder.
    if ($len == 20 && vec($_[0], 11, 8) == T_INT64) {
        return ($type, unpack('x12 q<', $_[0]));
    }
    if ($len == 12 && vec($_[0], 11, 8) == T_NULL) {
        return ($type, undef);
    }
    my $pos = HEADER_LENGTH;
    my $value = decode_value(\$_[0], \$pos, $_[1], $type, 0);
    _malformed(($len - $pos) . " bytes left over after the response value at offset $pos") if $pos != $len;
    return ($type, $value);
}

# ---------------------------------------------------------------------------------------------------------

# A handle to a value kept by the other side (as decoded without a handle resolver, or built by a client).
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
