# Receiver.pm: runs the commands that other runtimes send to Perl and encodes their results.
package Veltrix::Core::Receiver::Receiver;

use strict;
use warnings;

# The bridge runs this file as the interpreter's main program without any include directory: find the
# product's lib directory from our own location.
BEGIN {
    require File::Spec;
    my $self = File::Spec->rel2abs(__FILE__);
    (my $lib = $self) =~ s{[\\/]Veltrix[\\/]Core[\\/]Receiver[\\/]Receiver\.pm\z}{};
    unshift @INC, $lib if $lib ne $self && !grep { ref \$_ eq 'SCALAR' && $_ eq $lib } @INC;
    # Run as the main program, the file is not in %INC: a later `use` of it must not load it twice.
    $INC{'Veltrix/Core/Receiver/Receiver.pm'} //= $self;
}

use overload ();
use Scalar::Util qw(blessed reftype);
use Veltrix::Core::Protocol::Codec qw(:tags :commands F_LIST_CONTEXT F_BY_VALUE HEADER_LENGTH PERL_RUNTIME
    encode_value decode_message command_name);

our $VERSION = '1.000';

# ---------------------------------------------------------------------------------------------------------
# Handle table: Perl values handed out to the caller, kept alive until DestructReference.

my %handles;
my $next_handle = 1;

my $handle_out = sub {
    my $id = $next_handle++;
    $handles{$id} = $_[0];
    return $id;
};

my $handle_in = sub {
    my ($id, $type, $cmd_type) = @_;
    die "No Perl value with handle $id (released or never created)\n" unless exists $handles{$id};
    # DestructReference works on the handle numbers themselves.
    return $cmd_type == CMD_DESTRUCT_REFERENCE ? \$id : $handles{$id};
};

sub handle_count { return scalar keys %handles }

# ---------------------------------------------------------------------------------------------------------
# Commands. Each runner gets (flags, \@args) with nested commands already evaluated and returns
# (value, shape): shape 0 encodes the value by the usual rules, 1 encodes an array ref as a list of its
# elements, 2 a hash ref as a map, 3 always as a handle.

use constant { AS_VALUE => 0, AS_LIST => 1, AS_MAP => 2, AS_HANDLE => 3 };

my $module_name = qr/\A[A-Za-z_]\w*(?:::\w+)*\z/;

sub _need_package {
    my ($what, $name) = @_;
    die "$what: expected a package name, got " . (defined $name ? "'$name'" : 'null') . "\n"
        unless defined $name && !ref $name && $name =~ $module_name;
    return $name;
}

sub _need_name {
    my ($what, $name) = @_;
    die "$what: expected a name, got " . (defined $name ? (ref $name ? ref($name) . ' reference' : "'$name'") : 'null') . "\n"
        unless defined $name && !ref $name && length $name;
    return $name;
}

sub _load_library {
    my ($flags, $args) = @_;
    my $name = _need_name('LoadLibrary', $args->[0]);
    if ($name =~ $module_name && $name !~ /\.p[lm]\z/) {
        (my $file = $name) =~ s{::}{/}g;
        {
            package main;
            require "$file.pm";
        }
        return (!!1, AS_VALUE);
    }
    my $path = File::Spec->rel2abs($name);
    return (!!1, AS_VALUE) if $INC{$path};
    die "LoadLibrary: cannot read '$path': no such file\n" unless -f $path;
    die "LoadLibrary: cannot read '$path': permission denied\n" unless -r _;
    local $@;
    {
        # A file runs in package main, whoever loads it.
        package main;
        do $path;
    }
    die $@ if $@;
    $INC{$path} = $path;
    return (!!1, AS_VALUE);
}

sub _static_variable {
    my ($what, $package, $name) = @_;
    _need_package($what, $package);
    _need_name($what, $name);
    my ($sigil, $bare) = $name =~ /\A([\$\@%]?)(\w+)\z/ or die "$what: '$name' is not a variable name\n";
    return ($sigil || '$', "${package}::$bare");
}

sub _get_static_field {
    my ($flags, $args) = @_;
    my ($sigil, $full) = _static_variable('GetStaticField', @$args);
    no strict 'refs';
    return ([@{$full}], AS_LIST) if $sigil eq '@';
    return ({%{$full}}, AS_MAP) if $sigil eq '%';
    return (${$full}, AS_VALUE);
}

sub _set_static_field {
    my ($flags, $args) = @_;
    my ($sigil, $full) = _static_variable('SetStaticField', @$args[0, 1]);
    my $value = $args->[2];
    no strict 'refs';
    if ($sigil eq '@') {
        die "SetStaticField: \@$full needs a list value\n" unless ref $value eq 'ARRAY';
        @{$full} = @$value;
    } elsif ($sigil eq '%') {
        die "SetStaticField: %$full needs a map value\n" unless ref $value eq 'HASH';
        %{$full} = %$value;
    } else {
        ${$full} = $value;
    }
    return (undef, AS_VALUE);
}

sub _invoke_static {
    my ($flags, $args) = @_;
    my ($package, $method, @rest) = @$args;
    _need_package('InvokeStaticMethod', $package);
    _need_name('InvokeStaticMethod', $method);
    return ([$package->$method(@rest)], AS_LIST) if $flags & F_LIST_CONTEXT;
    return (scalar $package->$method(@rest), AS_VALUE);
}

sub _invoke_global {
    my ($flags, $args) = @_;
    my $name = $args->[0];
    my $code;
    if (defined $name && !ref $name && length $name) {
        $name = "main::$name" if index($name, '::') < 0;
        no strict 'refs';
        die "Undefined subroutine &$name called\n" unless defined &{$name};
        $code = \&{$name};
    } elsif (ref $name && reftype($name) eq 'CODE') {
        $code = $name;
    } else {
        _need_name('InvokeGlobalMethod', $name);
    }
    # The arguments go as aliases of the decoded values: a large string is not copied again.
    return ([$code->(@$args[1 .. $#$args])], AS_LIST) if $flags & F_LIST_CONTEXT;
    return (scalar $code->(@$args[1 .. $#$args]), AS_VALUE);
}

sub _create_instance {
    my ($flags, $args) = @_;
    my ($package, @rest) = @$args;
    _need_package('CreateClassInstance', $package);
    return (scalar $package->new(@rest), AS_VALUE);
}

sub _invoke_instance {
    my ($flags, $args) = @_;
    my ($target, $method, @rest) = @$args;
    die "InvokeInstanceMethod: the target is null\n" unless defined $target;
    die "InvokeInstanceMethod: the target is an unblessed " . ref($target) . " reference, not an object\n"
        if ref $target && !blessed $target;
    die "InvokeInstanceMethod: expected a method name or a code handle\n"
        unless defined $method && (!ref $method || reftype($method) eq 'CODE');
    return ([$target->$method(@rest)], AS_LIST) if $flags & F_LIST_CONTEXT;
    return (scalar $target->$method(@rest), AS_VALUE);
}

sub _hash_object {
    my ($what, $target) = @_;
    die "$what: the target is not a hash-based object (" . (ref $target || (defined $target ? 'a plain value' : 'null')) . ")\n"
        unless ref $target && reftype($target) eq 'HASH';
    return $target;
}

sub _get_instance_field {
    my ($flags, $args) = @_;
    my $object = _hash_object('GetInstanceField', $args->[0]);
    return ($object->{_need_name('GetInstanceField', $args->[1])}, AS_VALUE);
}

sub _set_instance_field {
    my ($flags, $args) = @_;
    my $object = _hash_object('SetInstanceField', $args->[0]);
    $object->{_need_name('SetInstanceField', $args->[1])} = $args->[2];
    return (undef, AS_VALUE);
}

sub _get_type {
    my ($flags, $args) = @_;
    my $v = $args->[0];
    return (ref($v) || (defined $v ? 'SCALAR' : 'UNDEF'), AS_VALUE);
}

sub _reference {
    my ($flags, $args) = @_;
    my $v = $args->[0];
    return (ref $v ? $v : \$v, AS_HANDLE);
}

sub _destruct_reference {
    my ($flags, $args) = @_;
    for my $arg (@$args) {
        my $id = ref $arg eq 'SCALAR' ? $$arg : $arg;
        die "DestructReference: expected handles, got " . (defined $id ? "'$id'" : 'null') . "\n"
            unless defined $id && $id =~ /\A\d+\z/;
        die "No Perl value with handle $id (released or never created)\n" unless exists $handles{$id};
    }
    delete $handles{ref $_ eq 'SCALAR' ? $$_ : $_} for @$args;
    return (undef, AS_VALUE);
}

sub _container {
    my ($what, $target) = @_;
    my $type = ref $target ? reftype $target : '';
    die "$what: expected an array (or hash) handle, got " . (ref $target || (defined $target ? 'a plain value' : 'null')) . "\n"
        unless $type eq 'ARRAY' || $type eq 'HASH';
    return ($target, $type);
}

sub _index {
    my ($what, $array, $index, $size_ok) = @_;
    die "$what: index " . (defined $index ? "'$index'" : 'null') . " is not an integer\n"
        unless defined $index && !ref $index && $index =~ /\A-?\d+\z/;
    my $size = @$array;
    my $limit = $size_ok ? $size : $size - 1;
    die "$what: index $index is out of range (size $size)\n" if $index > $limit || $index < -$size;
    return $index;
}

sub _array_get_item {
    my ($flags, $args) = @_;
    my ($target, @indices) = @$args;
    for my $index (@indices) {
        my ($c, $type) = _container('ArrayGetItem', $target);
        $target = $type eq 'ARRAY' ? $c->[_index('ArrayGetItem', $c, $index)] : $c->{_need_name('ArrayGetItem', $index)};
    }
    return ($target, AS_VALUE);
}

sub _array_get_size {
    my ($flags, $args) = @_;
    my ($c, $type) = _container('ArrayGetSize', $args->[0]);
    return ($type eq 'ARRAY' ? scalar @$c : scalar keys %$c, AS_VALUE);
}

sub _array_get_rank {
    my ($flags, $args) = @_;
    _container('ArrayGetRank', $args->[0]);
    return (1, AS_VALUE);
}

sub _array_set_item {
    my ($flags, $args) = @_;
    my ($c, $type) = _container('ArraySetItem', $args->[0]);
    if ($type eq 'ARRAY') {
        $c->[_index('ArraySetItem', $c, $args->[1], 1)] = $args->[2];
    } else {
        $c->{_need_name('ArraySetItem', $args->[1])} = $args->[2];
    }
    return (undef, AS_VALUE);
}

sub _array {
    my ($flags, $args) = @_;
    return ([@$args], AS_HANDLE);
}

sub _retrieve_array {
    my ($flags, $args) = @_;
    my ($c, $type) = _container('RetrieveArray', $args->[0]);
    return ($c, $type eq 'ARRAY' ? AS_LIST : AS_MAP);
}

sub _get_ref_value {
    my ($flags, $args) = @_;
    my $ref = $args->[0];
    my $type = ref $ref ? reftype $ref : '';
    die "GetRefValue: expected a scalar reference handle, got " . (ref $ref || 'a plain value') . "\n"
        unless $type eq 'SCALAR' || $type eq 'REF';
    return ($$ref, AS_VALUE);
}

sub _value {
    my ($flags, $args) = @_;
    return ($args->[0], AS_VALUE);
}

# type => [runner, minimum arguments, maximum arguments (undef: any), argument names]
my @COMMANDS;
$COMMANDS[CMD_VALUE]                  = [\&_value,              1, 1,     'value'];
$COMMANDS[CMD_LOAD_LIBRARY]           = [\&_load_library,       1, 1,     'module name or file path'];
$COMMANDS[CMD_INVOKE_STATIC_METHOD]   = [\&_invoke_static,      2, undef, 'package, method name, arguments...'];
$COMMANDS[CMD_GET_STATIC_FIELD]       = [\&_get_static_field,   2, 2,     'package, variable name'];
$COMMANDS[CMD_SET_STATIC_FIELD]       = [\&_set_static_field,   3, 3,     'package, variable name, value'];
$COMMANDS[CMD_CREATE_CLASS_INSTANCE]  = [\&_create_instance,    1, undef, 'package, constructor arguments...'];
$COMMANDS[CMD_GET_TYPE]               = [\&_get_type,           1, 1,     'value'];
$COMMANDS[CMD_REFERENCE]              = [\&_reference,          1, 1,     'value'];
$COMMANDS[CMD_INVOKE_INSTANCE_METHOD] = [\&_invoke_instance,    2, undef, 'object, method name, arguments...'];
$COMMANDS[CMD_GET_INSTANCE_FIELD]     = [\&_get_instance_field, 2, 2,     'object, field name'];
$COMMANDS[CMD_INVOKE_GLOBAL_METHOD]   = [\&_invoke_global,      1, undef, 'sub name, arguments...'];
$COMMANDS[CMD_DESTRUCT_REFERENCE]     = [\&_destruct_reference, 1, undef, 'handles...'];
$COMMANDS[CMD_ARRAY_GET_ITEM]         = [\&_array_get_item,     2, undef, 'array, index, further indices...'];
$COMMANDS[CMD_ARRAY_GET_SIZE]         = [\&_array_get_size,     1, 1,     'array'];
$COMMANDS[CMD_ARRAY_GET_RANK]         = [\&_array_get_rank,     1, 1,     'array'];
$COMMANDS[CMD_ARRAY_SET_ITEM]         = [\&_array_set_item,     3, 3,     'array, index, value'];
$COMMANDS[CMD_ARRAY]                  = [\&_array,              0, undef, 'elements...'];
$COMMANDS[CMD_RETRIEVE_ARRAY]         = [\&_retrieve_array,     1, 1,     'array'];
$COMMANDS[CMD_SET_INSTANCE_FIELD]     = [\&_set_instance_field, 3, 3,     'object, field name, value'];
$COMMANDS[CMD_GET_REF_VALUE]          = [\&_get_ref_value,      1, 1,     'scalar reference'];

sub _run {
    my ($type, $flags, $args, $nested) = @{$_[0]};
    my $entry = $COMMANDS[$type]
        or die "Command type $type (" . command_name($type) . ") has no meaning in Perl\n";
    if ($nested) {
        my @evaluated;
        for my $i (0 .. $#$args) {
            if ($nested->[$i]) {
                my ($v, $shape) = _run($args->[$i]);
                # A nested command in list context contributes all its values.
                push @evaluated, ($shape == AS_LIST && ($args->[$i][1] & F_LIST_CONTEXT)) ? @$v : $v;
            } else {
                push @evaluated, $args->[$i];
            }
        }
        $args = \@evaluated;
    }
    if (@$args < $entry->[1] || (defined $entry->[2] && @$args > $entry->[2])) {
        my (undef, $min, $max, $usage) = @$entry;
        my $want = !defined $max ? "at least $min" : $min == $max ? $min : "$min to $max";
        die command_name($type) . " takes $want argument" . ($want eq '1' ? '' : 's') . " ($usage), got "
            . scalar(@$args) . "\n";
    }
    return $entry->[0]->($flags, $args);
}

# ---------------------------------------------------------------------------------------------------------
# Messages.

my $trace;

# Frames between the failing statement and this module, innermost first.
sub _on_die {
    my @lines;
    my (undef, $file, $line) = caller(0);
    push @lines, "died at $file line $line";
    for (my $i = 1; my @frame = caller($i); $i++) {
        last if $frame[3] =~ /\AVeltrix::Core::Receiver::Receiver::/;
        push @lines, "$frame[3] called at $frame[1] line $frame[2]" unless $frame[3] eq '(eval)' && $frame[7];
    }
    $trace = join("\n", @lines);
    return;
}

sub _response_header {
    my ($msg, $type) = @_;
    return substr($msg, 9, 1) . "\0\0\0\0\0\0\0\0" . substr($msg, 0, 1) . chr($type) if length $msg > 10;
    # Towards the caller: its runtime at byte 0, ours at byte 9.
    my $caller = length $msg > 9 ? ord substr($msg, 9, 1) : 0;
    my $self = length $msg > 0 ? ord substr($msg, 0, 1) : PERL_RUNTIME;
    return pack('C C x7 C C', $caller, 0, $self, $type);
}

sub _exception_response {
    my ($msg, $error, $stack) = @_;
    my ($text, $class) = ($error, '');
    if (ref $error) {
        $class = blessed($error) // ref $error;
        if (blessed $error) {
            if (overload::Method($error, '""')) {
                $text = "$error";
            } elsif ($error->can('message')) {
                $text = eval { $error->message } // "$error";
            } elsif (reftype($error) eq 'HASH' && defined $error->{message} && !ref $error->{message}) {
                $text = $error->{message};
            } else {
                $text = "$error";
            }
        } else {
            $text = "$error";
        }
    }
    $text //= 'Unknown Perl error';
    my $out = _response_header($msg, CMD_EXCEPTION) . pack('CV', T_MAP, 3);
    for my $pair (['message', "$text"], ['class', $class], ['stack', $stack // '']) {
        $out .= pack('CV/a*CV/a*', T_STRING, $pair->[0], T_STRING, _utf8_text($pair->[1]));
    }
    return $out;
}

# Text as UTF-8 bytes: character strings are encoded, byte strings kept when they already are UTF-8.
sub _utf8_text {
    my ($text) = @_;
    if (utf8::is_utf8($text)) {
        utf8::encode($text);
    } elsif ($text =~ /[\x80-\xff]/) {
        my $copy = $text;
        unless (utf8::decode($copy)) {
            utf8::upgrade($text);
            utf8::encode($text);
        }
    }
    return $text;
}

# Runs one command message (a byte string, read in place) and returns the response (a byte string).
# Never dies.
sub execute_message {
    my $out;
    local $@;
    local $SIG{__DIE__} = \&_on_die;
    $trace = undef;
    my $ok = eval {
        my $cmd = decode_message($_[0], $handle_in);
        my ($value, $shape) = _run($cmd);
        # The decoded message has its 16 bytes at least: the caller's runtime at byte 0, ours at byte 9.
        $out = substr($_[0], 9, 1) . "\0\0\0\0\0\0\0\0" . substr($_[0], 0, 1) . "\0";
        if ($shape == AS_VALUE) {
            encode_value(\$out, $value, $cmd->[1] & F_BY_VALUE, $handle_out);
        } elsif ($shape == AS_LIST) {
            my $by_value = $cmd->[1] & F_BY_VALUE;
            $out .= pack('CV', T_LIST, scalar @$value);
            encode_value(\$out, $_, $by_value, $handle_out, 1) for @$value;
        } elsif ($shape == AS_MAP) {
            my $by_value = $cmd->[1] & F_BY_VALUE;
            $out .= pack('CV', T_MAP, scalar keys %$value);
            for my $key (keys %$value) {
                encode_value(\$out, $key, 0, undef, 1);
                encode_value(\$out, $value->{$key}, $by_value, $handle_out, 1);
            }
        } else {
            my $id = $handle_out->($value);
            $out .= pack('CQ<V/a*', T_HANDLE, $id, ref $value);
        }
        1;
    };
    return $out if $ok;
    my $error = $@;
    my $stack = $trace;
    my $msg = $_[0];
    local $SIG{__DIE__};
    my $response = eval { _exception_response($msg, $error, $stack) };
    # Even the error could not be described (its stringification died): fall back to plain text.
    $response //= _exception_response($msg, "Perl error that cannot be shown: " . ($@ =~ s/\n\z//r) . "\n", $stack);
    return $response;
}

# The message arrives as one integer per byte and leaves the same way. Inside the bridge its launcher
# converts in C (its routines exist from the start of the main program); elsewhere pack and unpack do.
sub _message_bytes { return pack('C*', @{$_[0]}) }
sub _byte_array    { return [unpack('C*', $_[0])] }
if (defined &Veltrix::Native::Perl540Launcher::bytes_from_array
    && defined &Veltrix::Native::Perl540Launcher::array_from_bytes) {
    no warnings 'redefine';
    *_message_bytes = \&Veltrix::Native::Perl540Launcher::bytes_from_array;
    *_byte_array    = \&Veltrix::Native::Perl540Launcher::array_from_bytes;
}

sub send_command {
    return _byte_array(execute_message(_message_bytes($_[1])));
}

# A heartbeat answers with its own body, under a header that points back to the caller.
sub heart_beat {
    my $msg = _message_bytes($_[1]);
    return _byte_array(_response_header($msg, CMD_HEART_BEAT) . (length $msg > HEADER_LENGTH ? substr($msg, HEADER_LENGTH) : ''));
}

sub get_runtime_info {
    my $file = $INC{'Veltrix/Core/Receiver/Receiver.pm'} // __FILE__;
    return join("\n",
        "Perl version: " . sprintf('%vd', $^V),
        "Perl executable: $^X",
        "Receiver module: Veltrix::Core::Receiver::Receiver $VERSION ($file)",
        "Codec module: Veltrix::Core::Protocol::Codec $Veltrix::Core::Protocol::Codec::VERSION",
        "\@INC: " . join(', ', grep { !ref } @INC),
    ) . "\n";
}

1;
