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
sub run_command { decode_response(Veltrix::Core::Receiver::Receiver::execute_message(message(@_))) }
sub handles { Veltrix::Core::Receiver::Receiver::handle_count() }
sub nested { Veltrix::Core::Protocol::Command->new(@_) }
sub write_file { my ($path, $text) = @_; open(my $fh, '>', $path) or die "$path: $!"; print $fh $text; close $fh }

sub ok_value {
    my ($rtype, $value) = run_command(@_);
    is($rtype, CMD_VALUE, command_name($_[0]) . ' succeeded') or diag explain $value;
    return $value;
}

sub error_of {
    my ($rtype, $value) = run_command(@_);
    is($rtype, CMD_EXCEPTION, command_name($_[0]) . ' failed as expected') or return {};
    is_deeply([grep { exists $value->{$_} } qw(class message stack)], [qw(class message stack)],
              'exception carries message, class and stack');
    return $value;
}

ok_value(CMD_LOAD_LIBRARY, 0, 'Sample::Counter');
my $counter_file = Cwd::abs_path($INC{'Sample/Counter.pm'});
my $lib = $INC{'Veltrix/Core/Receiver/Receiver.pm'} =~ s{/Veltrix/Core/Receiver/Receiver\.pm\z}{}r;

subtest 'objects, methods and fields through handles' => sub {
    is(unpack('H22', Veltrix::Core::Receiver::Receiver::execute_message(message(CMD_VALUE, 0, 1))),
       '0800000000000000000400', 'response header: caller at 0, Perl at 9, Value at 10');
    my $counter = ok_value(CMD_CREATE_CLASS_INSTANCE, 0, 'Sample::Counter', start => 5);
    ok_value(CMD_INVOKE_INSTANCE_METHOD, 0, $counter, 'step', 2);
    ok_value(CMD_SET_INSTANCE_FIELD, 0, $counter, 'label', "\x{263a}");
    is_deeply([map { ok_value(CMD_GET_INSTANCE_FIELD, 0, $counter, $_) } qw(count label)], [7, "\x{263a}"],
              'a field after a method, a field set from outside');
    is_deeply([map { ok_value(CMD_GET_TYPE, 0, $_) } $counter, 12], ['Sample::Counter', 'SCALAR'],
              'type of a handle and of a plain value');
    my $before = handles();
    is(error_of(CMD_DESTRUCT_REFERENCE, 0, $counter, Veltrix::Core::Protocol::Handle->new(999999))->{message},
       "No Perl value with handle 999999 (released or never created)\n", 'an unknown handle releases nothing');
    is(ok_value(CMD_DESTRUCT_REFERENCE, 0, $counter), undef, 'release');
    is(handles(), $before - 1, 'handle table shrinks');
    is(error_of(CMD_GET_INSTANCE_FIELD, 0, $counter, 'count')->{message},
       'No Perl value with handle ' . $counter->id . " (released or never created)\n", 'released handle is gone');
    is(error_of(CMD_DESTRUCT_REFERENCE, 0, 'x')->{message}, "DestructReference: expected handles, got 'x'\n",
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
    is(error_of(CMD_GET_INSTANCE_FIELD, 0, nested(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Counter::fail'), 'x')
       ->{message}, "Whoopsie [expected]\n", 'a failing inner command fails the message');
    my $deep = 'x';
    $deep = nested(CMD_VALUE, 0, $deep) for 1 .. 64;
    is(ok_value(CMD_VALUE, 0, $deep), 'x', 'commands nest 64 levels deep');
    # Perl calling itself through the bridge: a command whose code runs another command.
    no strict 'refs';
    local *main::inner = sub { (run_command(@_))[1] };
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum',
                nested(CMD_INVOKE_GLOBAL_METHOD, 0, 'inner', CMD_INVOKE_GLOBAL_METHOD, 0, 'List::Util::sum', 20, 1), 21),
       42, 'a command may run another command');
};

subtest 'static fields, arrays and references' => sub {
    is_deeply([map { ok_value(CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', $_) } qw(Greeting @Primes %Colours)],
              ['hello', [2, 3, 5], {red => 1}], 'scalar, array and hash variables');
    ok_value(CMD_SET_STATIC_FIELD, 0, 'Sample::Counter', @$_) for ['$Greeting', 'bye'], ['@Primes', [7]];
    is_deeply([$Sample::Counter::Greeting, \@Sample::Counter::Primes], ['bye', [7]], 'scalar and array set');
    like(error_of(CMD_SET_STATIC_FIELD, 0, 'Sample::Counter', '@Primes', 3)->{message}, qr/needs a list value/,
         'array needs a list');

    is_deeply([map { ok_value(CMD_GET_STATIC_FIELD, 0, 'main', $_) } qw($] $0 $$ $^O $^V $^X)],
              [$], $0, $$, $^O, sprintf('v%vd', $^V), $^X], 'special variables of main, the version as text');

    my $array = ok_value(CMD_ARRAY, 0, 'a', 'b', [1, 2]);
    is($array->type, 'ARRAY', 'new array');
    is_deeply([map { ok_value(@$_) } [CMD_ARRAY_GET_SIZE, 0, $array], [CMD_ARRAY_GET_RANK, 0, $array],
                                     [CMD_ARRAY_GET_ITEM, 0, $array, 2, 1], [CMD_ARRAY_GET_ITEM, 0, $array, -3]],
              [3, 1, 2, 'a'], 'size, rank, a nested item, a negative index');
    ok_value(CMD_ARRAY_SET_ITEM, 0, $array, 3, 'd');
    is_deeply(ok_value(CMD_RETRIEVE_ARRAY, F_BY_VALUE, $array), ['a', 'b', [1, 2], 'd'], 'retrieve by value');
    isa_ok(ok_value(CMD_RETRIEVE_ARRAY, 0, $array)->[2], 'Veltrix::Core::Protocol::Handle', 'inner array without by-value');
    like(error_of(CMD_ARRAY_GET_ITEM, 0, $array, 10)->{message}, qr/index 10 is out of range \(size 4\)/, 'out of range');
    like(error_of(CMD_ARRAY_SET_ITEM, 0, $array, 1e9, 1)->{message}, qr/out of range/, 'no huge growth');

    my $ref = ok_value(CMD_REFERENCE, 0, "kept \x{263a}");
    is_deeply([$ref->type, ok_value(CMD_GET_REF_VALUE, 0, $ref)], ['SCALAR', "kept \x{263a}"],
              'a plain value kept by reference and read back');
    my $objects = ok_value(CMD_INVOKE_STATIC_METHOD, F_BY_VALUE, 'Sample::Counter', 'list_of_objects', 1, 2);
    is_deeply([ref $objects, $objects->[1]->type], ['ARRAY', 'Sample::Counter'],
              'an unblessed array by value, the objects inside stay handles');
};

subtest 'errors become Exception responses' => sub {
    my $e = error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Sample::Counter::fail');
    is_deeply([@$e{qw(message class stack)}, exists $e->{object}],
        ["Whoopsie [expected]\n", '', "died at $counter_file line 16\nSample::Counter::fail called from the calling runtime", ''],
        'a text: unchanged, no class, the die and the sub the caller called, no object');
    is_deeply(ok_value(CMD_INVOKE_STATIC_METHOD, F_BY_VALUE, 'Sample::Counter', 'tied_hash', 0), {k => 'v-k'},
        'a tied hash read by value');
    is(error_of(CMD_INVOKE_STATIC_METHOD, F_BY_VALUE, 'Sample::Counter', 'tied_hash', 1)->{message},
       "FETCH failed [expected]\n", 'a die while the result is read');
    my %refused = (
        'Cannot send a string holding a surrogate or a code point above U+10FFFF (at byte 1)'
            => [CMD_INVOKE_GLOBAL_METHOD, 'Sample::Counter::surrogate'],
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
        "SetStaticField: \$]: Modification of a read-only value attempted" => [CMD_SET_STATIC_FIELD, 'main', '$]', 5],
        "GetStaticField: '\$]' is not a variable name" => [CMD_GET_STATIC_FIELD, 'Sample::Counter', '$]'],
        "GetStaticField: '\$^Vx' is not a variable name" => [CMD_GET_STATIC_FIELD, 'main', '$^Vx'],
        "Eval: expected Perl code as a string, got ARRAY reference" => [CMD_EVAL, [1]],
    );
    for my $text (sort keys %refused) {
        my ($type, @args) = @{$refused{$text}};
        is_deeply([@{error_of($type, 0, @args)}{qw(message stack)}], ["$text\n", ''], $text);
    }
    like(error_of(CMD_LOAD_LIBRARY, 0, 'No::Such::Module')->{message}, qr/Can't locate No\/Such\/Module\.pm/, 'missing module');
    is(ok_value(CMD_VALUE, 0, 'still alive'), 'still alive', 'interpreter usable afterwards');
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
    write_file("$dir/Dotted/Module.pm", "package Dotted::Module;\nsub fail { die 'dotted [expected]' }\n1;\n");
    local @INC = ("$dir/sub/..", @INC);
    ok_value(CMD_LOAD_LIBRARY, 0, 'Dotted::Module');
    is_deeply([@{error_of(CMD_INVOKE_GLOBAL_METHOD, 0, 'Dotted::Module::fail')}{qw(message stack)}],
        ["dotted [expected] at $dir/Dotted/Module.pm line 2.\n",
         "died at $dir/Dotted/Module.pm line 2\nDotted::Module::fail called from the calling runtime"],
        'file names in messages and stacks are resolved');
    open(my $out, '-|', $^X, '-e', 'require $ARGV[0]; print "$INC[0]|$INC{q(Veltrix/Core/Receiver/Receiver.pm)}"',
         "$lib/Veltrix/../Veltrix/Core/Receiver/Receiver.pm") or die $!;
    is(join('', <$out>), "$lib|$INC{'Veltrix/Core/Receiver/Receiver.pm'}",
       'the receiver started under a path with .. puts its resolved lib first');
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
    write_file("$dir/streams.pl", <<'PERL');
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
    my $out = `"$^X" -w "-I$lib" "$dir/streams.pl" 2>"$dir/err"`;
    open(my $fh, '<', "$dir/err") or die $!;
    is_deeply([$out, join('', <$fh>)], ['out|after', "careful\n\t(in cleanup) in destroy\n|after"],
              'standard output flushed after the command; warn and a die in DESTROY on standard error');
};

subtest 'files load once and report their errors' => sub {
    my $dir = tempdir(CLEANUP => 1);
    write_file("$dir/script.pl", "our \$loads++; sub twice { \$_[0] * 2 }\n0;\n");
    write_file("$dir/broken.pl", "sub {\n");
    ok_value(CMD_LOAD_LIBRARY, 0, "$dir/script.pl") for 1 .. 2;
    is($main::loads, 1, 'loaded once, false last value accepted');
    is(ok_value(CMD_INVOKE_GLOBAL_METHOD, 0, 'twice', 21), 42, 'sub from the file, in package main');
    like(error_of(CMD_LOAD_LIBRARY, 0, "$dir/broken.pl")->{message}, qr/Missing right curly/, 'syntax error reported');
    like(error_of(CMD_LOAD_LIBRARY, 0, "$dir/none.pl")->{message}, qr/cannot read '.*none\.pl': no such file/, 'missing file');
};

subtest 'launcher entry points' => sub {
    my $send = sub { [decode_response(pack('C*', @{Veltrix::Core::Receiver::Receiver::send_command(undef, $_[0])}))] };
    my @message = unpack('C*', message(CMD_VALUE, 0, -1));
    my @kept = @message;
    is_deeply($send->(\@kept), [CMD_VALUE, -1], 'send_command answers with response bytes');
    is_deeply(\@kept, \@message, "a caller's own array is left as it was");
    is_deeply($send->([unpack('C*', message(CMD_GET_STATIC_FIELD, 0, 'Sample::Counter', 'Long'))]),
              [CMD_VALUE, 'x' x 1000], 'an answer longer than its message');
    tie my @tied, 'Sample::Bytes', @message;
    is_deeply($send->(\@tied), [CMD_VALUE, -1], 'a tied message array is read too');
    my $beat = Veltrix::Core::Receiver::Receiver::heart_beat(undef, [4, 0, 0, 0, 0, 0, 0, 0, 0, 8, 11, 0x31, 0x32]);
    is_deeply($beat, [8, 0, 0, 0, 0, 0, 0, 0, 0, 4, 11, 0x31, 0x32], 'heartbeat echoes its body back');
    like(Veltrix::Core::Receiver::Receiver::get_runtime_info(undef), qr/^Perl version: 5\.40\.\d+\n.*Receiver 1\.000/ms,
         'runtime info: Perl and module versions');
};

subtest "a thread's interpreter has a copy of the handle table" => sub {
    require threads;
    my $kept = ok_value(CMD_REFERENCE, 0, 'kept');
    my $before = handles();
    my ($value, $id) = threads->create({context => 'list'}, sub {
        return ((run_command(CMD_GET_REF_VALUE, 0, $kept))[1], (run_command(CMD_REFERENCE, 0, 'more'))[1]->id);
    })->join;
    is_deeply([$value, $id], ['kept', $kept->id + 1], 'the handles go on in the thread');
    is(handles(), $before, 'without touching the parent');
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
            $msg = pack('C11', 4, (0) x 8, 8, int rand 40) . join('', map { chr int rand 256 } 1 .. int rand 40);
        } else {
            $msg = $seeds[int rand @seeds];
            my $pos = 10 + int rand(length($msg) - 10);
            $i % 3 == 1 ? (substr($msg, $pos, 1) = chr int rand 256) : ($msg = substr($msg, 0, $pos));
        }
        next if ord(substr($msg, 10, 1)) == CMD_HEART_BEAT;
        my ($type) = eval { decode_response(Veltrix::Core::Receiver::Receiver::execute_message($msg)) };
        $bad++, diag(unpack('H*', $msg) . ': ' . ($@ || 'no response'))
            unless defined $type && ($type == CMD_VALUE || $type == CMD_EXCEPTION);
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
