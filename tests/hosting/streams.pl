# streams.pl: Perl's side of the streams tests.
use strict;
use warnings;

sub say_line { print "$_[0]\n"; return 1 }
sub leave { print "leaving\n"; exit $_[0] }
