# shout.pl: example script for `veltrix-perl script`: a sub defined in a plain Perl file.
use strict;
use warnings;

sub shout { return uc(join(' ', @_)) . '!' }
