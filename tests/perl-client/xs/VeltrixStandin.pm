# VeltrixStandin.pm: controls the call log of a stand-in library loaded in this process.
package VeltrixStandin;

use strict;
use warnings;
use XSLoader;

our $VERSION = '1.00';
XSLoader::load(__PACKAGE__, $VERSION);

1;
