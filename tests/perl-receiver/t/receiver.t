# The receiver module run in-process: commands, handles, chains, errors, heartbeat and hostile input.
use strict;
use warnings;
use Test::More;
no warnings "once";
use Carp ();
use Cwd ();
use File::Temp qw(tempdir);
use Veltrix::Core::Protocol::Codec qw(:all);
use Veltrix::Core::Receiver::Receiver;

sub message { my ($type, $flags, @args) = @_; encode_command(pack('C11', 4, (0) x 8, 8, $type), $flags, \@args) }

sub run_command {
    my $response = Veltrix::Core::Receiver::Receiver::execute_message(message(@_));
    return (decode_response($response), $response);
}

sub ok_value {
    my ($type, $flags, @args) = @_;
    my ($rtype, $value) = run_command($type, $flags, @args);
    is($rtype, CMD_VALUE, command_name($type) . ' succeeded') or diag explain $value;
    return $value;
}

sub error_of {
    my ($type, $flags, @args) = @_;
    my ($rtype, $value) = run_command($type, $flags, @args);
    is($rtype, CMD_EXCEPTION, command_name($type) . ' failed as expected') or return {};
    is_deeply([grep { exists $value->{$_} } qw(class message stack)], [qw(class message stack)],
              'exception carries message, class and stack');
    return $value;
}

sub nested { Veltrix::Core::Protocol::Command->new(@_) }

ok_value(CMD_LOAD_LIBRARY, 0, 'Sample::Counter');
my $counter_file = Cwd::abs_path($INC{'Sample/Counter.pm'});
my $lib = $INC{'Veltrix/Core/Receiver/Receiver.pm'} =~ s{/Veltrix/Core/Receiver/Receiver\.pm\z}{}r;

subtest 'calls in scalar and list context' => sub {
    ok_value(CMD_LOAD_LIBRARY, 0, 'List::Util');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', 1, 2, 3), 6, 'sum');
    is_deeply(ok_value(CMD_INVOKE_GLOBAL_METHOD, F_LIST_CONTEXT, 'Sample::Counter::pair'), [1, 2], 'list context');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Counter::pair'), 2, 'scalar context takes the last');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'CORE::join', '+', 'a', 'b'), 'a+b', 'a core function by name');
    is(ok_value(CMD_INVOKE_STATIC_METHOD, 0, 'Sample::Counter', 'new')->type, 'Sample::Counter', 'class method');
    my (undef, undef, $response) = run_command(CMD_VALUE, 0, 1);
    is(unpack('H22', $response), '08000000000000000004' . '00', 'response header: caller at 0, Perl at 9, Value at 10');
};

subtest 'objects, methods and fields through handles' => sub {
    my $counter = ok_value(CMD_CREATE_CLASS_INSTANCE, 0, 'Sample::Counter', start => 5);
    isa_ok($counter, 'Veltrix::Core::Protocol::Handle');
    ok_value(CMD_INVOKE_INSTANCE_METHOD, 0, $counter, 'step', 2);
    is(ok_value(CMD_GET_INSTANCE_FIELD, 0, $counter, 'count'), 7, 'field after method');
    ok_value(CMD_SET_INSTANCE_FIELD, 0, $counter, 'label', "\x{263a}");
    is(ok_value(CMD_INVOKE_INSTANCE_METHOD, 0, $counter, 'count'), 7, 'method result');
    is(ok_value(CMD_GET_INSTANCE_FIELD, 0, $counter, 'label'), "\x{263a}", 'field set from outside');
    is(ok_value(CMD_GET_TYPE, 0, $counter), 'Sample::Counter', 'type of a handle');
    is(ok_value(CMD_GET_TYPE, 0, 12), 'SCALAR', 'type of a plain value');
    my $before = Veltrix::Core::Receiver::Receiver::handle_count();
    like(error_of(CMD_DESTRUCT_REFERENCE, 0, $counter, Veltrix::Core::Protocol::Handle->new(999999))->{message},
        qr/\ANo Perl value with handle 999999 \(released or never created\)\n\z/, 'an unknown handle releases nothing');
    is(ok_value(CMD_DESTRUCT_REFERENCE, 0, $counter), undef, 'release');
    is(Veltrix::Core::Receiver::Receiver::handle_count(), $before - 1, 'handle table shrinks');
    is(error_of(CMD_GET_INSTANCE_FIELD, 0, $counter, 'count')->{message},
        'No Perl value with handle ' . $counter->id . " (released or never created)\n", 'released handle is gone');
    like(error_of(CMD_DESTRUCT_REFERENCE, 0, 'x')->{message}, qr/\ADestructReference: expected handles, got 'x'\n\z/,
        'release takes handles');
};

subtest 'a chain runs in one message' => sub {
    my $create = nested(CMD_CREATE_CLASS_INSTANCE, 0, 'Sample::Counter', start => 40);
    my $step = nested(CMD_INVOKE_INSTANCE_METHOD, 0, $create, 'step', 2);
    is(ok_value(CMD_GET_INSTANCE_FIELD, 0, $step, 'count'), 42, 'create, call, read field');
    my $pair = nested(CMD_INVOKE_GLOBAL_METHOD, F_LIST_CONTEXT, 'Sample::Counter::pair');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', $pair, 10), 13, 'list-context result flattens');
    my $primes = nested(CMD_GET_STATIC_FIELD, F_LIST_CONTEXT, 'Sample::Counter', '@Primes');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', $primes), 10, 'so does a list-context array');
    like(error_of(CMD_GET_INSTANCE_FIELD, 0, nested(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Counter::fail'), 'x')->{message},
        qr/\AWhoopsie \[expected\]\n\z/, 'a failing inner command fails the message');
    my $deep = 'x';
    $deep = nested(CMD_VALUE, 0, $deep) for 1 .. 64;
    is(ok_value(CMD_VALUE, 0, $deep), 'x', 'commands nest 64 levels deep');
};

subtest 'static fields, arrays and references' => sub {
    is(ok_value(CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', 'Greeting'), 'hello', 'scalar variable');
    is_deeply(ok_value(CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', '@Primes'), [2, 3, 5], 'array variable');
    is_deeply(ok_value(CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', '%Colours'), {red => 1}, 'hash variable');
    ok_value(CMD_SET_STATIC_FIELD, 0, 'Sample::Counter', '$Greeting', 'bye');
    is($Sample::Counter::Greeting, 'bye', 'scalar set');
    ok_value(CMD_SET_STATIC_FIELD, 0, 'Sample::Counter', '@Primes', [7]);
    is_deeply(\@Sample::Counter::Primes, [7], 'array set');
    like(error_of(CMD_SET_STATIC_FIELD, 0, 'Sample::Counter', '@Primes', 3)->{message}, qr/needs a list value/, 'array needs a list');

    my $array = ok_value(CMD_ARRAY, 0, 'a', 'b', [1, 2]);
    is($array->type, 'ARRAY', 'new array');
    is(ok_value(CMD_ARRAY_GET_SIZE, 0, $array), 3, 'size');
    is(ok_value(CMD_ARRAY_GET_RANK, 0, $array), 1, 'rank');
    is(ok_value(CMD_ARRAY_GET_ITEM, 0, $array, 2, 1), 2, 'nested item');
    is(ok_value(CMD_ARRAY_GET_ITEM, 0, $array, -3), 'a', 'negative index');
    ok_value(CMD_ARRAY_SET_ITEM, 0, $array, 3, 'd');
    is_deeply(ok_value(CMD_RETRIEVE_ARRAY, F_BY_VALUE, $array), ['a', 'b', [1, 2], 'd'], 'retrieve by value');
    isa_ok(ok_value(CMD_RETRIEVE_ARRAY, 0, $array)->[2], 'Veltrix::Core::Protocol::Handle', 'inner array without by-value');
    like(error_of(CMD_ARRAY_GET_ITEM, 0, $array, 10)->{message}, qr/index 10 is out of range \(size 4\)/, 'out of range');
    like(error_of(CMD_ARRAY_SET_ITEM, 0, $array, 1e9, 1)->{message}, qr/out of range/, 'no huge growth');

    my $ref = ok_value(CMD_REFERENCE, 0, "kept \x{263a}");
    is($ref->type, 'SCALAR', 'plain value kept by reference');
    is(ok_value(CMD_GET_REF_VALUE, 0, $ref), "kept \x{263a}", 'and read back');
    my $objects = ok_value(CMD_INVOKE_STATIC_METHOD, F_BY_VALUE, 'Sample::Counter', 'list_of_objects', 1, 2);
    is(ref $objects, 'ARRAY', 'unblessed array by value');
    is($objects->[1]->type, 'Sample::Counter', 'objects inside stay handles');
};

subtest 'errors become Exception responses' => sub {
    my $e = error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Counter::fail');
    is_deeply([@$e{qw(message class stack)}, exists $e->{object}],
        ["Whoopsie [expected]\n", '', "died at $counter_file line 17\nSample::Counter::fail called from the calling runtime", ''],
        'a text: unchanged, no class, the die and the sub the caller called, no object');
    is_deeply(ok_value(CMD_INVOKE_STATIC_METHOD, F_BY_VALUE, 'Sample::Counter', 'tied_hash', 0), {k => 'v-k'},
        'a tied hash read by value');
    is(error_of(CMD_INVOKE_STATIC_METHOD, F_BY_VALUE, 'Sample::Counter', 'tied_hash', 1)->{message}, "FETCH failed [expected]\n",
        'a die while the result is read');
    like(error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Counter::surrogate')->{message},
        qr/\ACannot send a string holding a surrogate or a code point above U\+10FFFF \(at byte 1\)\n\z/, 'no lax UTF-8 out');
    my %refused = (
        'Undefined subroutine &No::Such::sub called'    => [CMD_INVOKE_GLOBAL_METHOD, 'No::Such::sub'],
        'Undefined subroutine &main::nothing called'    => [CMD_INVOKE_GLOBAL_METHOD, 'nothing'],
        'InvokeGlobalMethod: expected a name, got HASH reference' => [CMD_INVOKE_GLOBAL_METHOD, {}],
        "InvokeStaticMethod: expected a package name, got 'no package'" => [CMD_INVOKE_STATIC_METHOD, 'no package', 'x'],
        "CreateClassInstance: expected a package name, got null" => [CMD_CREATE_CLASS_INSTANCE, undef],
        'InvokeInstanceMethod: the target is an unblessed ARRAY reference, not an object' => [CMD_INVOKE_INSTANCE_METHOD, [], 'x'],
        'InvokeInstanceMethod: expected a method name or a code handle' => [CMD_INVOKE_INSTANCE_METHOD, 'x', undef],
        'InvokeInstanceMethod takes at least 2 arguments (object, method name, arguments...), got 1' => [CMD_INVOKE_INSTANCE_METHOD, 'x'],
        'Value takes 1 argument (value), got 2'         => [CMD_VALUE, 1, 2],
        'Command type 12 (Cast) has no meaning in Perl' => [CMD_CAST, 1],
        'Command type 99 (command type 99) has no meaning in Perl' => [99],
        'GetInstanceField: the target is not a hash-based object (a plain value)' => [CMD_GET_INSTANCE_FIELD, 'text', 'f'],
        'SetInstanceField: expected a name, got \'\'' => [CMD_SET_INSTANCE_FIELD, {}, '', 1],
    );
    for my $text (sort keys %refused) {
        my ($type, @args) = @{$refused{$text}};
        my $error = error_of($type, 0, @args);
        is($error->{message}, "$text\n", $text);
    }
    like(error_of(CMD_LOAD_LIBRARY, 0, 'No::Such::Module')->{message}, qr/Can't locate No\/Such\/Module\.pm/, 'missing module');
    is(ok_value(CMD_VALUE, 0, 'still alive'), 'still alive', 'interpreter usable afterwards');
};

subtest 'eval runs Perl code in package main' => sub {
    is(ok_value(CMD_EVAL, 0, '$evaluated = 6 * 7; __PACKAGE__ . " $evaluated"'), 'main 42', 'scalar context, no strict');
    is($main::evaluated, 42, 'in package main');
    is_deeply(ok_value(CMD_EVAL, F_LIST_CONTEXT | F_BY_VALUE, '(1, [2], {k => 3})'), [1, [2], {k => 3}],
              'list context, by value');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Numbers::plus_one', '18446744073709551614'), '18446744073709551615',
       'an unsigned value above the signed range, as digits, is used exactly and comes back as digits');
    my $e = error_of(CMD_EVAL, 0, 'die "boom [expected]"');
    like("$e->{message}|$e->{stack}", qr/\Aboom \[expected\] at \(eval (\d+)\) line 1\.\n\|died at \(eval \1\) line 1\z/,
         "a run-time error: Perl's text and place");
    like(error_of(CMD_EVAL, 0, '1 +')->{message}, qr/\Asyntax error at \(eval \d+\) line 1, at EOF\n/, 'a compile error');
    is(error_of(CMD_EVAL, 0, [1])->{message}, "Eval: expected Perl code as a string, got ARRAY reference\n",
       'code must be a string');
};

subtest 'special variables of main' => sub {
    is(ok_value(CMD_GET_STATIC_FIELD, 0, 'main', $_->[0]), $_->[1], $_->[0])
        for ['$]', $]], ['$0', $0], ['$$', $$], ['$^O', $^O], ['$^V', sprintf('v%vd', $^V)], ['$^X', $^X];
    is_deeply(ok_value(CMD_GET_STATIC_FIELD, 0, 'main', '@INC'), [grep { !ref } @INC], '@INC');
    is(ok_value(CMD_GET_STATIC_FIELD, 0, 'main', '%ENV')->{PATH}, $ENV{PATH}, '%ENV');
    ok_value(CMD_SET_STATIC_FIELD, 0, 'main', '$;', '|');
    is($;, '|', '$; set');
    $; = "\034";
    my %refused = (
        "SetStaticField: \$]: Modification of a read-only value attempted" => [CMD_SET_STATIC_FIELD, 'main', '$]', 5],
        "GetStaticField: '\$]' is not a variable name" => [CMD_GET_STATIC_FIELD, 'Sample::Counter', '$]'],
        "GetStaticField: '\$^Vx' is not a variable name" => [CMD_GET_STATIC_FIELD, 'main', '$^Vx'],
    );
    for my $text (sort keys %refused) {
        my ($type, @args) = @{$refused{$text}};
        is_deeply([@{error_of($type, 0, @args)}{qw(message stack)}], ["$text\n", ''], $text);
    }
};

subtest 'exceptions keep what Perl raised' => sub {
    my %objects = (    # sub => class, message
        fail_object      => ['Sample::Error', 'object failure [expected]'],
        fail_unprintable => ['Sample::Unprintable', 'Perl exception of class Sample::Unprintable whose text could not be obtained'],
        fail_hash        => ['HASH', undef],
    );
    for my $sub (sort keys %objects) {
        my ($class, $message) = @{$objects{$sub}};
        my $e = error_of(CMD_INVOKE_STATIC_METHOD, 0, 'Sample::Counter', $sub);
        is_deeply([$e->{class}, $e->{object}->type], [$class, $class], "$sub: class, and a handle of that type");
        is($e->{message}, $message, "$sub: message") if defined $message;
        is(ok_value(CMD_DESTRUCT_REFERENCE, 0, $e->{object}), undef, "$sub: the handle is a normal one");
    }
    my $e = error_of(CMD_INVOKE_STATIC_METHOD, 0, 'Sample::Counter', 'fail_object');
    is(ok_value(CMD_INVOKE_INSTANCE_METHOD, 0, $e->{object}, 'message'), 'object failure [expected]',
       'the exception object answers its methods');

    my $here = Cwd::abs_path(__FILE__);
    my %line = %Sample::Croaks::line;
    local $SIG{__WARN__} = sub { $Sample::Croaks::warned = $_[0] };
    is_deeply(error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Croaks::direct'),
        {message => "direct [expected] at $here line $line{direct}.\n", class => '',
         stack => "died at $here line $line{direct}\nSample::Croaks::direct called from the calling runtime"},
        'croak in a sub the caller called: the place of the croak, no frame of ours');
    is_deeply(error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Croaks::through'),
        {message => "inner [expected] at $here line $line{through}.\n", class => '',
         stack => "died at $here line $line{check}\nSample::Croaks::Inner::check called at $here line $line{through}\n"
                . "Sample::Croaks::through called from the calling runtime"},
        "croak in a sub of another package: its caller's place");
    ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Croaks::warns');
    is($Sample::Croaks::warned, "careful [expected] at $here line $line{warns}.\n", "carp: the caller's place");

    my $dir = Cwd::abs_path(tempdir(CLEANUP => 1));
    mkdir "$dir/$_" for qw(sub Dotted);
    open(my $fh, '>', "$dir/Dotted/Module.pm") or die $!;
    print $fh "package Dotted::Module;\nsub fail { die 'dotted [expected]' }\n1;\n";
    close $fh;
    local @INC = ("$dir/sub/..", @INC);
    ok_value(CMD_LOAD_LIBRARY, 0, 'Dotted::Module');
    is_deeply([@{error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Dotted::Module::fail')}{qw(message stack)}],
        ["dotted [expected] at $dir/Dotted/Module.pm line 2.\n",
         "died at $dir/Dotted/Module.pm line 2\nDotted::Module::fail called from the calling runtime"],
        'file names in messages and stacks are resolved');
    open(my $out, '-|', $^X, '-e', 'require $ARGV[0]; print "$INC[0]|$INC{q(Veltrix/Core/Receiver/Receiver.pm)}"',
         "$lib/Veltrix/../Veltrix/Core/Receiver/Receiver.pm") or die $!;
    is(join('', <$out>), "$lib|$INC{'Veltrix/Core/Receiver/Receiver.pm'}", 'the receiver started under a path with .. puts its resolved lib first');
};

subtest 'exit in called code ends the command, not the process' => sub {
    my @cases = map { [@$_, CMD_INVOKE_GLOBAL_METHOD, 0, "Sample::Exits::$_->[1]"] }
        [3 => 'plain'], [0 => 'bare'], [4 => 'core'], [5 => 'caught'], [6 => 'in_destroy'], [7 => 'in_sort'],
        [8 => 'in_string_eval'], [9 => 'in_text'];
    push @cases, [3, 'nested', CMD_VALUE, 0, nested(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Exits::plain')],
                 [2, 'eval command', CMD_EVAL, 0, 'exit 2'];
    for my $case (@cases) {
        my ($status, $name, @command) = @$case;
        my $e = error_of(@command);
        is_deeply([@$e{qw(class exit)}], ['Veltrix::Exit', $status], "$name: class and status");
        my $where = $name =~ /eval/ ? qr/\(eval \d+\)/ : qr/\S*receiver\.t/;
        like($e->{message}, qr/\Aexit\($status\) called at $where line \d+\.\n\z/, "$name: the status and the place");
    }
    is(ok_value(CMD_VALUE, 0, 'alive'), 'alive', 'the interpreter goes on');
    system($^X, "-I$lib", '-MVeltrix::Core::Receiver::Receiver', '-e', 'exit 9');
    is($? >> 8, 9, 'outside a command exit is Perl\'s own');
};

subtest "a command's output goes out before the caller's, warnings as Perl writes them" => sub {
    my $dir = tempdir(CLEANUP => 1);
    open(my $fh, '>', "$dir/streams.pl") or die $!;
    print $fh <<'PERL';
use Veltrix::Core::Protocol::Codec qw(:all);
use Veltrix::Core::Receiver::Receiver;
use POSIX ();
sub shout { print "out"; warn "careful\n"; { my $o = bless [], 'Dies' } return 1 }
package Dies { sub DESTROY { die "in destroy\n" } }
package main;
Veltrix::Core::Receiver::Receiver::execute_message(encode_command(pack('C11', 4, (0) x 8, 8, 16), 0, ['shout']));
POSIX::write($_, '|after', 6) for 1, 2;
POSIX::_exit(0);
PERL
    close $fh;
    my $out = `"$^X" -w "-I$lib" "$dir/streams.pl" 2>"$dir/err"`;
    open($fh, '<', "$dir/err") or die $!;
    is_deeply([$out, join('', <$fh>)], ['out|after', "careful\n\t(in cleanup) in destroy\n|after"],
              'standard output flushed after the command; warn and a die in DESTROY on standard error');
};

subtest 'files load once and report their errors' => sub {
    my $dir = tempdir(CLEANUP => 1);
    open(my $fh, '>', "$dir/script.pl") or die $!;
    print $fh "our \$loads++; sub twice { \$_[0] * 2 }\n0;\n";
    close $fh;
    ok_value(CMD_LOAD_LIBRARY, 0, "$dir/script.pl") for 1 .. 2;
    is($main::loads, 1, 'loaded once, false last value accepted');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'twice', 21), 42, 'sub from the file, in package main');
    open($fh, '>', "$dir/broken.pl") or die $!;
    print $fh "sub {\n";
    close $fh;
    like(error_of(CMD_LOAD_LIBRARY, 0, "$dir/broken.pl")->{message}, qr/Missing right curly/, 'syntax error reported');
    like(error_of(CMD_LOAD_LIBRARY, 0, "$dir/none.pl")->{message}, qr/cannot read '.*none\.pl': no such file/, 'missing file');
};

subtest 'launcher entry points' => sub {
    my @message = unpack('C*', message(CMD_VALUE, 0, -1));
    my $bytes = Veltrix::Core::Receiver::Receiver::send_command(undef, [@message]);
    is_deeply([decode_response(pack('C*', @$bytes))], [CMD_VALUE, -1], 'send_command answers with response bytes');
    my @long = unpack('C*', message(CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', 'Long'));
    is_deeply([decode_response(pack('C*', @{Veltrix::Core::Receiver::Receiver::send_command(undef, [@long])}))],
        [CMD_VALUE, 'x' x 1000], 'an answer longer than its message');
    my @kept = @message;
    Veltrix::Core::Receiver::Receiver::send_command(undef, \@kept);
    is_deeply(\@kept, \@message, "a caller's own array is left as it was");
    tie my @tied, 'Sample::Bytes', @message;
    is_deeply([decode_response(pack('C*', @{Veltrix::Core::Receiver::Receiver::send_command(undef, \@tied)}))],
        [CMD_VALUE, -1], 'a tied message array is read too');
    my $beat = Veltrix::Core::Receiver::Receiver::heart_beat(undef, [4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 11, 0x31, 0x32]);
    is_deeply($beat, [8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 11, 0x31, 0x32], 'heartbeat echoes its body back');
    my $info = Veltrix::Core::Receiver::Receiver::get_runtime_info(undef);
    like($info, qr/^Perl version: 5\.40\.\d+$/m, 'runtime info: version');
    like($info, qr/Receiver 1\.000/, 'runtime info: module version');
};

subtest 'a command may run another command (Perl calling itself through the bridge)' => sub {
    no strict 'refs';
    local *main::inner = sub { (decode_response(Veltrix::Core::Receiver::Receiver::execute_message(message(@_))))[1] };
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum',
                nested(CMD_INVOKE_GLOBAL_METHOD, 0, 'inner', CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', 20, 1), 21),
       42, 'the inner answer and the outer one');
};

subtest "a thread's interpreter has a copy of the handle table" => sub {
    require threads;
    my $kept = ok_value(CMD_REFERENCE, 0, 'kept');
    my $before = Veltrix::Core::Receiver::Receiver::handle_count();
    my ($value, $id) = threads->create({context => 'list'}, sub {
        return ((run_command(CMD_GET_REF_VALUE, 0, $kept))[1], (run_command(CMD_REFERENCE, 0, 'more'))[1]->id);
    })->join;
    is_deeply([$value, $id], ['kept', $kept->id + 1], 'the handles go on in the thread');
    is(Veltrix::Core::Receiver::Receiver::handle_count(), $before, 'without touching the parent');
};

subtest 'random and mutated messages always get a well-formed answer' => sub {
    srand(20261206);
    my @seeds = map { message(@$_) } ([CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', 1, 2],
        [CMD_VALUE, 0, {a => [1, 'x', "\x00\xff"]}], [CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', 'Greeting'],
        [CMD_ARRAY, 0, 1.5, undef, !!1]);
    my $bad = 0;
    for my $i (1 .. 3000) {
        my $msg;
        if ($i % 3 == 0) {
            $msg = pack('C11', 4, 0, 0, 0, 0, 0, 0, 0, 0, 8, int rand 40) . join('', map { chr int rand 256 } 1 .. int rand 40);
        } else {
            $msg = $seeds[int rand @seeds];
            my $pos = 10 + int rand(length($msg) - 10);
            if ($i % 3 == 1) {
                substr($msg, $pos, 1) = chr int rand 256;
            } else {
                $msg = substr($msg, 0, $pos);
            }
        }
        next if ord(substr($msg, 10, 1)) == CMD_HEART_BEAT;
        my $response = eval { Veltrix::Core::Receiver::Receiver::execute_message($msg) };
        my ($type) = eval { decode_response($response // '') };
        $bad++, diag(unpack('H*', $msg) . ': ' . ($@ || 'no response')) unless defined $type && ($type == CMD_VALUE || $type == CMD_EXCEPTION);
    }
    is($bad, 0, 'every answer decodes as a Value or Exception response');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', 4, 5), 9, 'valid command still works');
};

package Sample::Exits {
    sub plain { exit 3 }
    sub bare { exit }
    sub core { CORE::exit(4) }
    sub caught { eval { exit 5 }; return 'went on' }
    sub in_destroy { { my $o = bless [], 'Sample::Exits' } return 1 }
    sub in_sort { my @x = sort { exit 7 } 1, 2; return 1 }
    sub in_string_eval { eval 'exit 8'; return 1 }
    sub DESTROY { exit 6 }
    sub in_text { die bless [], 'Sample::Exits::Text' }
    package Sample::Exits::Text { use overload '""' => sub { exit 9 } }
}

package Sample::Numbers { sub plus_one { $_[0] + 1 } }

package Sample::Croaks {
    our (%line, $warned);
    sub direct { Carp::croak('direct [expected]') } BEGIN { $line{direct} = __LINE__ }
    sub through { Sample::Croaks::Inner::check() } BEGIN { $line{through} = __LINE__ }
    sub warns { Sample::Croaks::Inner::moan() } BEGIN { $line{warns} = __LINE__ }
    package Sample::Croaks::Inner;
    sub check { Carp::croak('inner [expected]') } BEGIN { $line{check} = __LINE__ }
    sub moan { Carp::carp('careful [expected]') }
}

package Sample::Bytes {
    sub TIEARRAY { my ($class, @v) = @_; bless [@v], $class }
    sub FETCH { $_[0][$_[1]] }
    sub FETCHSIZE { scalar @{$_[0]} }
}

done_testing;
