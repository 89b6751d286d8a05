# Greeter.pm: example Perl code for the C++ host demo (a function, a class with a method and a field).
package Example::Greeter;

use strict;
use warnings;

# A plain function.
sub greeting {
    my ($name) = @_;
    return sprintf('Hello, %s, from Perl %vd', $name // 'stranger', $^V);
}

# A class: new(name => ...), the methods greet, wave and renamed, the fields name and greeted.
sub new {
    my ($class, %args) = @_;
    return bless {name => $args{name} // 'Perl', greeted => 0}, $class;
}

sub greet {
    my ($self, $who) = @_;
    die "Nobody to greet [expected]\n" unless defined $who && length $who;
    $self->{greeted}++;
    return "$self->{name} greets $who";
}

# Prints to Perl's standard output.
sub wave {
    my ($self) = @_;
    print "$self->{name} waves\n";
    return;
}

# Returns the object itself, so that calls can be chained.
sub renamed {
    my ($self, $name) = @_;
    $self->{name} = $name;
    return $self;
}

1;
