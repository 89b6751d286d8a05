# Receiver.pm: runs the commands that other runtimes send to Perl and encodes their results.
# The command path itself is C (Codec.xs): send_command, heart_beat, execute_message and handle_count
# come from the codec module; what stays here are the rarely used commands, the text of an error and
# the record of where a die happened.
package Veltrix::Core::Receiver::Receiver;

# Run by the bridge as the interpreter's main program in a product installed with its own Perl runtime (runtime/lib
# beside the product's lib directory), the runtime's library directories take the place of the ones compiled into
# libperl before the first module loads: the product works wherever it is moved, with or without the Perl it was
# built with. Only the core language is at hand here.
BEGIN {
    my ($x64) = __FILE__ =~ m{\A(.+)/lib/Veltrix/Core/Receiver/Receiver\.pm\z}s;
    if (defined $x64 && __FILE__ eq $0) {
        1 while $x64 =~ s{/(?!\.\.?(?:/|\z))[^/]+/\.\.(?=/|\z)}{};
        my $runtime = "$x64/runtime/lib";
        # Perl's own library comes last in @INC; its prefix is the compiled-in one.
        my ($prefix) = $INC[-1] =~ m{\A(.+/lib/)\Q${\ sprintf '%vd', $^V }\E\z}s;
        if (-d $runtime && defined $prefix) {
            @INC = map { !ref && index($_, $prefix) == 0 ? "$runtime/" . substr($_, length $prefix) : $_ } @INC;
        }
    }
}

use strict;
use warnings;

# The bridge runs this file as the interpreter's main program, under a path such as
# .../Native/Windows/X64/../../../../Binaries/Perl/...: the product's lib directory, resolved, is the first
# include directory, so that every file loaded from it has a plain path in messages and stacks.
BEGIN {
    require Cwd;
    require File::Spec;
    my $self = File::Spec->rel2abs(__FILE__);
    (my $lib = $self) =~ s{[\\/]Veltrix[\\/]Core[\\/]Receiver[\\/]Receiver\.pm\z}{};
    if ($lib ne $self) {
        $lib = Cwd::abs_path($lib) // $lib;
        unshift @INC, $lib unless grep { ref \$_ eq 'SCALAR' && $_ eq $lib } @INC;
        $self = "$lib/Veltrix/Core/Receiver/Receiver.pm";
    }
    # Run as the main program, the file is not in %INC: a later `use` of it must not load it twice.
    $INC{'Veltrix/Core/Receiver/Receiver.pm'} //= $self;
    # Perl calls made by the receiver come from this package: croak and carp look past it.
    no warnings 'once';
    $Carp::Internal{+__PACKAGE__} = 1;
}

use overload ();
use Scalar::Util qw(blessed reftype);
use Veltrix::Core::Protocol::Codec ();

our $VERSION = '1.000';

# Frames of the last die, innermost first; the C side reads it for an Exception's stack.
our $trace;

# ---------------------------------------------------------------------------------------------------------
# Commands kept in Perl. The C side has checked the argument count and runs each as runner(flags, args...);
# a runner returns (value, shape): shape 0 encodes the value by the usual rules, 1 an array ref as a list of
# its elements, 2 a hash ref as a map, 3 always as a handle.

use constant { AS_VALUE => 0, AS_LIST => 1, AS_MAP => 2, AS_HANDLE => 3 };

my $module_name = qr/\A[A-Za-z_]\w*(?:::\w+)*\z/;

sub _need_package {
    my ($what, $name) = @_;
    die "$what: expected a package name, got " . (defined $name ? "'$name'" : 'null') . "\n"
        unless defined $name && !ref $name && $name =~ $module_name;
    return $name;
}

sub _need_name {
    my ($what, $name) = @_;
    die "$what: expected a name, got " . (defined $name ? (ref $name ? ref($name) . ' reference' : "'$name'") : 'null') . "\n"
        unless defined $name && !ref $name && length $name;
    return $name;
}

sub _load_library {
    my (undef, $name) = @_;
    _need_name('LoadLibrary', $name);
    if ($name =~ $module_name && $name !~ /\.p[lm]\z/) {
        (my $file = $name) =~ s{::}{/}g;
        {
            package main;
            require "$file.pm";
        }
        return (!!1, AS_VALUE);
    }
    my $path = _path($name);
    return (!!1, AS_VALUE) if $INC{$path};
    die "LoadLibrary: cannot read '$path': no such file\n" unless -f $path;
    die "LoadLibrary: cannot read '$path': permission denied\n" unless -r _;
    local $@;
    {
        # A file runs in package main, whoever loads it.
        package main;
        do $path;
    }
    die $@ if $@;
    $INC{$path} = $path;
    return (!!1, AS_VALUE);
}

# Package variables by name; in main also Perl's special variables: a caret and a capital letter ($^O) or
# one punctuation character ($], $$, $;).
sub _static_variable {
    my ($what, $package, $name) = @_;
    _need_package($what, $package);
    _need_name($what, $name);
    my ($sigil, $bare) = $name =~ /\A([\$\@%]?)(\w+)\z/;
    if (!defined $bare && $package eq 'main') {
        ($sigil, $bare) = $name =~ /\A([\$\@%]?)(\^[A-Z]|[[:punct:]])\z/a;
        return ($sigil || '$', $bare =~ /\A\^(.)\z/ ? chr(ord($1) - 64) : $bare) if defined $bare;
    }
    die "$what: '$name' is not a variable name\n" unless defined $bare;
    return ($sigil || '$', "${package}::$bare");
}

sub _get_static_field {
    my ($sigil, $full) = _static_variable('GetStaticField', @_[1, 2]);
    no strict 'refs';
    return ([@{$full}], AS_LIST) if $sigil eq '@';
    return ({%{$full}}, AS_MAP) if $sigil eq '%';
    my $value = ${$full};
    # A version object ($^V, some $VERSIONs) as its text.
    return (blessed($value) && $value->isa('version') ? "$value" : $value, AS_VALUE);
}

sub _set_static_field {
    my ($sigil, $full) = _static_variable('SetStaticField', @_[1, 2]);
    my $value = $_[3];
    no strict 'refs';
    die "SetStaticField: \@$full needs a list value\n" if $sigil eq '@' && ref $value ne 'ARRAY';
    die "SetStaticField: %$full needs a map value\n" if $sigil eq '%' && ref $value ne 'HASH';
    eval {
        if ($sigil eq '@') {
            @{$full} = @$value;
        } elsif ($sigil eq '%') {
            %{$full} = %$value;
        } else {
            ${$full} = $value;
        }
        1;
    } or die "SetStaticField: $_[2]: " . ($@ =~ s/ at .*? line \d+\.\n\z//sr) . "\n";
    return (undef, AS_VALUE);
}

sub _get_type {
    my $v = $_[1];
    return (ref($v) || (defined $v ? 'SCALAR' : 'UNDEF'), AS_VALUE);
}

sub _reference {
    my $v = $_[1];
    return (ref $v ? $v : \$v, AS_HANDLE);
}

sub _container {
    my ($what, $target) = @_;
    my $type = ref $target ? reftype $target : '';
    die "$what: expected an array (or hash) handle, got " . (ref $target || (defined $target ? 'a plain value' : 'null')) . "\n"
        unless $type eq 'ARRAY' || $type eq 'HASH';
    return ($target, $type);
}

sub _index {
    my ($what, $array, $index, $size_ok) = @_;
    die "$what: index " . (defined $index ? "'$index'" : 'null') . " is not an integer\n"
        unless defined $index && !ref $index && $index =~ /\A-?\d+\z/;
    my $size = @$array;
    my $limit = $size_ok ? $size : $size - 1;
    die "$what: index $index is out of range (size $size)\n" if $index > $limit || $index < -$size;
    return $index;
}

sub _array_get_item {
    my (undef, $target, @indices) = @_;
    for my $index (@indices) {
        my ($c, $type) = _container('ArrayGetItem', $target);
        $target = $type eq 'ARRAY' ? $c->[_index('ArrayGetItem', $c, $index)] : $c->{_need_name('ArrayGetItem', $index)};
    }
    return ($target, AS_VALUE);
}

sub _array_get_size {
    my ($c, $type) = _container('ArrayGetSize', $_[1]);
    return ($type eq 'ARRAY' ? scalar @$c : scalar keys %$c, AS_VALUE);
}

sub _array_get_rank {
    _container('ArrayGetRank', $_[1]);
    return (1, AS_VALUE);
}

sub _array_set_item {
    my (undef, undef, $index, $value) = @_;
    my ($c, $type) = _container('ArraySetItem', $_[1]);
    if ($type eq 'ARRAY') {
        $c->[_index('ArraySetItem', $c, $index, 1)] = $value;
    } else {
        $c->{_need_name('ArraySetItem', $index)} = $value;
    }
    return (undef, AS_VALUE);
}

sub _array {
    my (undef, @elements) = @_;
    return (\@elements, AS_HANDLE);
}

sub _retrieve_array {
    my ($c, $type) = _container('RetrieveArray', $_[1]);
    return ($c, $type eq 'ARRAY' ? AS_LIST : AS_MAP);
}

sub _get_ref_value {
    my $ref = $_[1];
    my $type = ref $ref ? reftype $ref : '';
    die "GetRefValue: expected a scalar reference handle, got " . (ref $ref || 'a plain value') . "\n"
        unless $type eq 'SCALAR' || $type eq 'REF';
    return ($$ref, AS_VALUE);
}

# ---------------------------------------------------------------------------------------------------------
# Errors.

# A file name as messages and stacks show it: absolute, without . or .. and with symbolic links resolved.
# Names that are not files ("(eval 3)", "-e") stay as they are.
my %paths;
sub _path {
    my ($file) = @_;
    return $file if !defined $file || $file =~ /\A\(eval \d+\)/;
    return $paths{$file} //= do {
        my $absolute = File::Spec->rel2abs($file);
        -e $absolute ? Cwd::abs_path($absolute) // $absolute : $absolute;
    } if File::Spec->file_name_is_absolute($file);
    return -e $file ? Cwd::abs_path($file) // $file : $file;
}

# The die hook while a command runs: the place of the die and the calling frames, innermost first. Perl's
# own frames (eval, require) are left out; a die inside Carp is placed where Carp was called. The walk ends
# at the frame the calling runtime (or a runner of this module) called.
sub _on_die {
    my ($package, $file, $line) = caller(0);
    # No file: the command path itself passes an error on (or refuses a call); the trace stays as it is.
    return unless defined $file;
    # A refusal of this module's own runners has no stack, like those of the command path.
    return $trace = undef if $package eq __PACKAGE__;
    my $i = 1;
    while ($Carp::CarpInternal{$package // ''} and my @frame = caller($i)) {
        ($package, $file, $line) = @frame;
        $i++;
    }
    my @lines = ('died at ' . _path($file) . " line $line");
    for (; my @frame = caller($i); $i++) {
        next if $frame[3] eq '(eval)';
        if (($frame[0] // '') eq __PACKAGE__) {
            push @lines, "$frame[3] called from the calling runtime";
            last;
        }
        push @lines, "$frame[3] called at " . _path($frame[1]) . " line $frame[2]";
    }
    $trace = join("\n", @lines);
    return;
}

# (text, class) of an error: an exception object's overloaded stringification, else its message method,
# else its message field, else the reference's text. Called under eval: each of these may die, and the text
# is made a plain string here, where that is caught.
sub _error_parts {
    my ($error) = @_;
    return (_located($error // 'Unknown Perl error'), '') unless ref $error;
    my $class = blessed($error) // ref $error;
    my $text = !blessed($error) || overload::Method($error, '""') ? $error
             : $error->can('message') ? eval { $error->message } // $error
             : reftype($error) eq 'HASH' && defined $error->{message} && !ref $error->{message} ? $error->{message}
             : $error;
    return ("$text", $class);
}

# A text with the location Perl appends (" at FILE line N.") under a normalised file name.
sub _located {
    my ($text) = @_;
    return $text unless $text =~ / at (.+?) line (\d+)(\.|, <[^>]*> (?:line|chunk) \d+\.)\n\z/;
    my $file = _path($1);
    return $text if $file eq $1;
    return substr($text, 0, $-[0]) . " at $file line $2$3\n";
}

# A message array whose elements are not all plain integers becomes bytes here (the launcher's C routine
# inside the bridge, pack elsewhere); the C side reads plain arrays itself.
sub _message_bytes { return pack('C*', @{$_[0]}) }
if (defined &Veltrix::Native::Perl540Launcher::bytes_from_array) {
    no warnings 'redefine';
    *_message_bytes = \&Veltrix::Native::Perl540Launcher::bytes_from_array;
}

sub get_runtime_info {
    my $file = $INC{'Veltrix/Core/Receiver/Receiver.pm'} // __FILE__;
    return join("\n",
        "Perl version: " . sprintf('%vd', $^V),
        "Perl executable: $^X",
        "Receiver module: Veltrix::Core::Receiver::Receiver $VERSION ($file)",
        "Codec module: Veltrix::Core::Protocol::Codec $Veltrix::Core::Protocol::Codec::VERSION",
        "\@INC: " . join(', ', grep { !ref } @INC),
    ) . "\n";
}

# What `exit` in called Perl code dies with while a command runs (the command path turns it into an Exception
# that names the status): an eval of the called code sees this object in $@.
package Veltrix::Exit;

use overload '""' => sub { $_[0]{message} }, fallback => 1;

sub status  { $_[0]{status} }
sub message { $_[0]{message} }

1;

__END__

=head1 NAME

Veltrix::Core::Receiver::Receiver - runs the commands other runtimes send to Perl

=head1 DESCRIPTION

The bridge library runs this module as the main program of the interpreter it embeds, and hands it every
command message; its answers go back as response messages (F<docs/command-format.md>). In a Perl process,
C<execute_message($message)> runs one command message and returns the response, which makes the module a
transport for L<Veltrix::Client> within one interpreter:

    my $perl = Veltrix::Client->new(runtime => 'Perl',
        transport => \&Veltrix::Core::Receiver::Receiver::execute_message);

=cut
