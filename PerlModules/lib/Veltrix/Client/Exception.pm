# Exception.pm: an Exception answer of another runtime, raised in Perl; stringifies to the remote text.
package Veltrix::Client::Exception;

use strict;
use warnings;

use overload '""' => sub { $_[0]{message} }, 'bool' => sub { 1 }, fallback => 1;

our $VERSION = '1.00';

sub new {
    my ($class, %fields) = @_;
    return bless {message => $fields{message} // '', class => $fields{class} // '', stack => $fields{stack} // '',
                  runtime => $fields{runtime}}, $class;
}

# Dies with the exception that an answer's value (a map of message, class and stack) describes.
sub from_response {
    my ($class, $value, $runtime) = @_;
    die "Malformed command: an Exception answer must carry a map of message, class and stack\n"
        unless ref $value eq 'HASH';
    my %fields = map { my $v = $value->{$_}; ($_ => (defined $v && !ref $v) ? $v : '') } qw(message class stack);
    die $class->new(%fields, runtime => $runtime);
}

sub message { $_[0]{message} }
sub class   { $_[0]{class} }
sub stack   { $_[0]{stack} }
# Number of the runtime that raised it.
sub runtime { $_[0]{runtime} }
sub throw   { my $class = shift; die $class->new(@_) }

1;
