# Counter.pm: a small hash-based class that the receiver tests drive.
package Sample::Counter;
use strict;
use warnings;

our $Greeting = 'hello';
our @Primes = (2, 3, 5);
our %Colours = (red => 1);

sub new {
    my ($class, %args) = @_;
    return bless {count => $args{start} // 0, label => $args{label} // 'counter'}, $class;
}
sub step { my ($self, $by) = @_; $self->{count} += $by // 1; return $self }
sub pair { return (1, 2) }
sub fail { die "Whoopsie [expected]\n" }
sub fail_object { die Sample::Error->new('object failure [expected]') }
sub list_of_objects { my $class = shift; return [map { $class->new(start => $_) } @_] }
sub tied_hash { tie my %h, 'Sample::Tied', $_[1]; return \%h }
sub surrogate { return "a\x{d800}" }
sub fail_unprintable { die bless {}, 'Sample::Unprintable' }
sub fail_hash { die {code => 7} }
our $Long = 'x' x 1000;

# A hash of one key read through FETCH, which dies when asked to: the receiver reads it in C, by value.
package Sample::Tied;
sub TIEHASH { my ($class, $fail) = @_; bless {fail => $fail}, $class }
sub FIRSTKEY { 'k' }
sub NEXTKEY { undef }
sub FETCH { die "FETCH failed [expected]\n" if $_[0]{fail}; "v-$_[1]" }

package Sample::Error;
sub new { my ($class, $message) = @_; return bless {message => $message}, $class }
sub message { $_[0]{message} }

# Its text dies with the object itself.
package Sample::Unprintable;
use overload '""' => sub { die $_[0] }, fallback => 1;

1;
