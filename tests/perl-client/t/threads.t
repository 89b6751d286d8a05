# threads.t: Perl threads calling through one bridge at once, each answer checked against its own command.
use strict;
use warnings;
use threads;
use threads::shared;
use Test::More;

use FindBin ();
use lib "$FindBin::Bin/lib";
use VeltrixTestTree;

my $tree = VeltrixTestTree->new->use_modules;
$tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'), 'VeltrixClrRuntimeNative.dll');
# The calling side's library (runtime 4) too: without it the in-memory transport retries its load each time.
$tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'), 'VeltrixPerlRuntimeNative.dll');
require Veltrix::Bridge::Native;
require Veltrix::Client;
require Veltrix::Core::Receiver::Receiver;

my $calls = 10_000;
my $started :shared = 0;
my $clr = Veltrix::Client->new(runtime => 'Clr');

# The stand-in answers with the command itself: flags 3 read as the int64 tag take the argument count (4)
# and the tags of the four one-byte arguments (null 0, false 1, true 2) as the number's bytes.
sub arguments { my ($n) = @_; return map { (undef, !!0, !!1)[int($n / 3**$_) % 3] } 0 .. 3 }
sub expected { my ($n) = @_; my $v = 4; $v += (int($n / 3**$_) % 3) << (32 + 8 * $_) for 0 .. 3; return $v }

# Mismatches of a thread: client calls, then raw commands of distinct bodies through the exports.
sub mismatches {
    my ($offset) = @_;
    my $wrong = 0;
    { lock $started; $started++; cond_broadcast $started; cond_wait $started until $started == 2 }
    for my $i (1 .. $calls) {
        my $n = ($i * 7 + $offset) % 81;
        $wrong++ unless $clr->execute_with_flags('Value', 3, arguments($n)) == expected($n);
        my $message = pack('C11 N n', 0, (0) x 8, 4, 0, $i, $offset);
        (my $echo = $message) =~ s/\A(.{10})./$1\x00/s;
        $wrong++ unless Veltrix::Bridge::Native::send_command($message) eq $echo;
    }
    return $wrong;
}

is $clr->execute_with_flags('Value', 3, arguments(80)), expected(80), 'the stand-in answers';
# The stand-in keeps recording: formatting each call widens the window in which threads could cross.
my @threads = map { threads->create(\&mismatches, $_) } 1, 40;
is_deeply [map { $_->join } @threads], [0, 0], "two threads, $calls client calls and $calls raw commands each: every answer its own";

my $perl = Veltrix::Client->new(runtime => 'Perl', transport => \&Veltrix::Core::Receiver::Receiver::execute_message);
my $handle = $perl->execute('Array', 1, 2);
is_deeply(threads->create(sub { [ref $handle, $$handle, $perl->execute('Value', 'in thread')] })->join,
          ['SCALAR', undef, 'in thread'], 'a new thread gets a reference to undef for a handle; the client works there');
is $perl->execute('ArrayGetSize', $handle), 2, 'the handle is still valid in the thread that received it';

done_testing;
