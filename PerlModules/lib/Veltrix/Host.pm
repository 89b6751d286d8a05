# Host.pm: the functions of the C++ program that hosts this interpreter, as Perl subs.
package Veltrix::Host;

use strict;
use warnings;

use Carp ();
use Scalar::Util ();
use Veltrix::Client;
use Veltrix::Client::Handle;

our $VERSION = '1.00';

# Errors of a host function are placed in the code that called the sub, not here.
$Carp::Internal{+__PACKAGE__} = 1;

my $client;

# The client of the C++ runtime (8) that every host function sub calls through.
sub client { return $client //= Veltrix::Client->new(runtime => 'Cpp') }

# The handle of host function $id. Every sub of the function holds it; when the last one goes, its DESTROY
# releases the function in the host.
sub _function {
    my ($id) = @_;
    return bless {id => $id, type => 'CODE', client => client()}, 'Veltrix::Client::Handle';
}

# A sub for a callback: its arguments, or $_ when it has none (the block of List::Util::first, grep-like
# functions); the prototype ($$) makes sort pass the two elements it compares.
sub callback {
    my ($id) = @_;
    my ($cpp, $function) = (client(), _function($id));
    # Called by the handle's number, which the C++ runtime takes for the handle. The statement after the
    # return never runs; naming $function there makes the sub hold it.
    my $code = sub {
        return Veltrix::Client::invoke_global_method($cpp, $id, @_ ? @_ : defined $_ ? $_ : ());
        $function;
    };
    Scalar::Util::set_prototype(\&$code, '$$');
    return $code;
}

# Installs the sub $name for host function $id (replacing one of that name) and returns it.
sub define {
    my ($name, $id) = @_;
    Carp::croak("'$name' is not a sub name") unless $name =~ /\A[A-Za-z_]\w*(?:::\w+)*\z/a;
    my ($cpp, $function) = (client(), _function($id));
    my $code = sub {
        return Veltrix::Client::invoke_global_method($cpp, $id, @_);
        $function;
    };
    no strict 'refs';
    no warnings 'redefine';
    *{$name} = $code;
    return $code;
}

1;

__END__

=head1 NAME

Veltrix::Host - call the C++ program that hosts this interpreter

=head1 SYNOPSIS

In the C++ host (see F<docs/host-client.md>):

    perl.Define("main::on_row", [](const List& row) { ... return Value(true); });
    Handle bigger = perl.Callback([](int64_t a, int64_t b) { return a > b ? -1 : a < b; });
    perl.CallFunction("main::sorted", {bigger, 3, 1, 2});

In Perl:

    on_row([1, 'Ada']);                                   # runs the C++ function
    sub sorted { my $cmp = shift; return [sort $cmp @_] }
    my $cpp = Veltrix::Host::client;                      # Veltrix::Client->new(runtime => 'Cpp')
    $cpp->invoke_global_method('main::on_row', [2, 'Grace']);   # the same function by its name

=head1 DESCRIPTION

The C++ host client registers a function with the C++ runtime's library, F<VeltrixCppRuntimeNative.dll>, and
has this module make a sub for it. Calling the sub sends an C<InvokeGlobalMethod> command to runtime 8 over the
in-memory channel (L<Veltrix::Client>, L<Veltrix::Bridge::Native>); the host runs the function on the same
thread and its result comes back as the sub's value. A C++ exception dies in the caller as a
L<Veltrix::Client::Exception> with the exception's text as C<message>, its C++ type as C<class> and
"NAME called from the calling runtime" as C<stack>.

Arguments travel as L<Veltrix::Client> sends them: numbers, strings, C<undef>, booleans, array and hash
references (as lists and maps). Code and other references cannot be sent. A host function returns a plain
value: C<undef>, a boolean, a number, a string or a list or map of them.

Each sub holds the function's handle (a L<Veltrix::Client::Handle>): the host keeps the function while any sub
for it exists in Perl or the host holds the sub, and releases it when the last one goes.

=head1 FUNCTIONS

The host client calls these; Perl code rarely needs them.

=over

=item client

The L<Veltrix::Client> of the C++ runtime that the subs call through.

=item define($name, $id)

Installs the sub C<$name> for host function C<$id>, replacing a sub of that name, and returns it. It passes
its arguments as they are.

=item callback($id)

A sub for host function C<$id> with the prototype C<($$)>, so that C<sort $sub @list> passes the two elements
compared. Called without arguments it passes C<$_> when that is defined (C<List::Util::first>, C<any>), and
nothing otherwise.

=back

=cut
