#!/usr/bin/env perl
# bench.pl: cost of a command sent from Perl through the bridge's exports, beside baselines in the same run.
#
# Run: cmake --build <build> --target bench_perl_client
#   or by hand: VELTRIX_PERL_LIB_DIR=<build>/product/Binaries/Perl/Windows/X64/lib
#               VELTRIX_BRIDGE_LIBRARY=<build>/product/Binaries/Native/Windows/X64/VeltrixPerl540RuntimeNative.dll
#               VELTRIX_STANDIN_RUNTIME=<build>/tests/standins/standin_runtime/VeltrixClrRuntimeNative.dll
#               /opt/veltrix/perl-5.40.1/bin/perl -I tests/perl-client/t/lib -I <build>/tests/perl-client/xs/lib \
#                   bench/perl-client/bench.pl [iterations]
use strict;
use warnings;

use Time::HiRes ();
use VeltrixTestTree;
use VeltrixStandin;

my $iterations = shift // 1_000_000;
my $rounds = 7;

my $tree = VeltrixTestTree->new->use_modules;
my $standin = $tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'),
                                        'VeltrixClrRuntimeNative.dll');
# The calling side's library (runtime 4) present too: without it the in-memory transport retries, and
# records, its load failure before every command.
$tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'), 'VeltrixPerlRuntimeNative.dll');
require Veltrix::Bridge::Native;
require Veltrix::Client;

our $command = pack('C11', 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0);    # 11 bytes: Value to Clr from Perl
our $clr = Veltrix::Client->new(runtime => 'Clr');
# The stand-in echoes the command: flags 3 and four null arguments read back as the int64 4.
die "unexpected answer\n" unless Veltrix::Client->new(runtime => 'Clr')
    ->execute_with_flags('Value', 3, undef, undef, undef, undef) == 4;
Veltrix::Bridge::Native::send_command($command) eq $command or die "the stand-in did not echo\n";
# The stand-in's call log would format every message: the benchmark measures the road, not the log.
VeltrixStandin::set_recording($standin, 0) or die "stand-in not loaded\n";

# The client alone: a transport that answers at once with a prepared answer.
our $answer = Veltrix::Bridge::Native::send_command($clr->message('Value', 3, undef, undef, undef, undef));
our $offline = Veltrix::Client->new(runtime => 'Clr', transport => sub { $answer });

# CPU nanoseconds per iteration of each loop body. The bodies take turns within every round, so that a busy
# machine weighs on them alike; each figure (and each ratio) is the median over the rounds.
my %bodies = (
    empty    => '',
    baseline => 'Veltrix::Bridge::Native::_baseline($command);',
    send     => 'Veltrix::Bridge::Native::send_command($command);',
    offline  => '$offline->execute_with_flags("Value", 3, undef, undef, undef, undef);',
    client   => '$clr->execute_with_flags("Value", 3, undef, undef, undef, undef);',
);
my %loops = map { $_ => (eval "sub { for (1 .. $iterations) { $bodies{$_} } }" or die $@) } keys %bodies;
my (%samples, @send_ratios, @client_ratios);
for (1 .. $rounds) {
    my %round;
    for my $name (sort keys %loops) {
        my $start = Time::HiRes::clock_gettime(Time::HiRes::CLOCK_PROCESS_CPUTIME_ID());
        $loops{$name}->();
        $round{$name} = (Time::HiRes::clock_gettime(Time::HiRes::CLOCK_PROCESS_CPUTIME_ID()) - $start) * 1e9 / $iterations;
        push @{$samples{$name}}, $round{$name};
    }
    push @send_ratios, $round{send} / $round{baseline};
    push @client_ratios, $round{client} / $round{baseline};
}
sub median { my @v = sort { $a <=> $b } @_; return $v[$#v / 2] }
my %ns = map { $_ => median(@{$samples{$_}}) } keys %samples;

printf "%d iterations, median of %d rounds, CPU ns per call\n", $iterations, $rounds;
printf "  %-58s %8.1f\n", 'empty loop', $ns{empty};
printf "  %-58s %8.1f\n", 'XS call that does nothing (copy of the 11 bytes)', $ns{baseline};
printf "  %-58s %8.1f\n", 'XS send + read of an 11-byte command via the exports', $ns{send};
printf "  %-58s %8.1f   (target < 200)\n", '  added by the exports, transmitter, transport, stand-in', $ns{send} - $ns{baseline};
printf "  %-58s %8.1f\n", 'client call, answer prepared in Perl (no native call)', $ns{offline};
printf "  %-58s %8.1f\n", 'client call: encode, send, read, decode (20 bytes)', $ns{client};
printf "  %-58s %8.2f\n", 'ratio send / baseline', median(@send_ratios);
printf "  %-58s %8.2f   (target <= 8)\n", 'ratio client call / baseline', median(@client_ratios);
