# native.t: Veltrix::Bridge::Native over the bridge's real exports, with a stand-in runtime in the product tree,
# runtime libraries missing from it, and a tree without the bridge.
use strict;
use warnings;
use Test::More;

use Cwd ();
use File::Spec;
use FindBin ();
use lib "$FindBin::Bin/lib";
use VeltrixTestTree;

my $tree = VeltrixTestTree->new->use_modules;
$tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'), 'VeltrixClrRuntimeNative.dll');
require Veltrix::Bridge::Native;
require Veltrix::Client;
use constant {F_LIST_CONTEXT => 1, F_BY_VALUE => 2};

my $bridge = File::Spec->catfile($tree->native_dir, 'VeltrixPerl540RuntimeNative.dll');
my $native_dir = $tree->native_dir;

# Header towards runtime 0 (Clr) from Perl (4): called, version, channel, 4 octets, port (2), calling, type.
sub header { my %h = (called => 0, version => 0, channel => 0, type => 2, @_);
             pack('C3 C4 v C C', @h{qw(called version channel)}, 0, 0, 0, 0, 0, 4, $h{type}) }
sub error_of (&) { my ($code) = @_; eval { $code->(); 1 } ? undef : $@ }
sub text_of (&) { my ($code) = @_; "${\ error_of(\&$code) }" }
# Loaded copies of a file: each maps its first page (offset 0) once.
sub copies_of { my ($file) = @_; open my $maps, '<', '/proc/self/maps' or die $!;
                return scalar grep { my @f = split; @f >= 6 && $f[5] eq $file && hex($f[2]) == 0 } <$maps> }

subtest 'the module loads the bridge of its own product tree, once' => sub {
    is Cwd::abs_path(Veltrix::Bridge::Native::library_path()), Cwd::abs_path($bridge), 'path from the module location';
    is Veltrix::Bridge::Native::library_handle(), 0, 'not loaded at use';
    ok Veltrix::Bridge::Native::native_error(), 'loaded at the first call';
    my $other_spelling = File::Spec->catfile($native_dir, File::Spec->updir, 'X64', 'VeltrixPerl540RuntimeNative.dll');
    is Veltrix::Bridge::Native::load_library($other_spelling), Veltrix::Bridge::Native::library_handle(),
        'loading the same file again gives the same module';
    is copies_of(Cwd::abs_path($bridge)), 1, 'one copy mapped into the process';
};

subtest 'a command reaches the stand-in through the exports and its answer comes back' => sub {
    my $message = header(type => 2, version => 7) . "\x00\x01\x02\xff";
    my $answer = Veltrix::Bridge::Native::send_command($message);
    (my $expected = $message) =~ s/\A(.{10})./$1\x00/s;
    is unpack('H*', $answer), unpack('H*', $expected), 'the stand-in echoes the command as a Value answer';
    ok !utf8::is_utf8($answer), 'a byte string';
    my $big = header(type => 9) . join('', map { chr($_ % 256) } 0 .. 1_000_000);
    ($expected = $big) =~ s/\A(.{10})./$1\x00/s;
    ok Veltrix::Bridge::Native::send_command($big) eq $expected, 'a message of a megabyte comes back whole';
    is length Veltrix::Bridge::Native::send_command(header()), 11, 'a header alone is a command';
};

subtest 'failure results of the exports die with the bridge error text' => sub {
    my $line = __LINE__ + 1;
    my $error = error_of { Veltrix::Bridge::Native::send_command(substr header(), 0, 10) };
    isa_ok $error, $_ for qw(Veltrix::Bridge::NativeError Veltrix::Error);
    is_deeply [map { $error->$_ } qw(message text function result file line class stack)],
        ['Message byte array length is less than 11', 'Message byte array length is less than 11', 'SendCommand', -2,
         __FILE__, $line, '', ''], 'message (text is its older name), export, result, the place of the call';
    is_deeply ["$error", Veltrix::Bridge::Native::native_error(), text_of { Veltrix::Bridge::Native::send_command('') }],
        [('Message byte array length is less than 11') x 3], 'the text exactly, no Perl location; GetNativeError; empty';
    is text_of { Veltrix::Bridge::Native::send_command(header(channel => 3)) },
        'Veltrix Core Exception: Exception code 023.', 'unknown channel type';

    is text_of { Veltrix::Bridge::Native::send_command(header() . "\xEE") }, 'Stand-in failure [expected]',
        "the other runtime's failure text arrives unchanged";
    $line = __LINE__ + 1;
    $error = error_of { Veltrix::Client->new(runtime => 'Clr')->send_message(header() . "\xEE") };
    is_deeply [ref $error, $error->file, $error->line], ['Veltrix::Bridge::NativeError', __FILE__, $line],
        'through the client: the place in the caller\'s code';

    ok Veltrix::Bridge::Native::send_command(header()), 'the next command works';
    is Veltrix::Bridge::Native::native_error(), 'Stand-in failure [expected]',
        'a success leaves the last failure text in place';
    like error_of { Veltrix::Bridge::Native::send_command("\x{263a}" x 11) }, qr/\AWide character/,
        'characters above 255 are refused, not sent';
};

subtest 'embedded-runtime and deployment exports pass the other side results' => sub {
    is Veltrix::Bridge::Native::set_embedded_runtime(4, 0, 2, '/opt/clr'), 42, "stand-in's 40 + version";
    is Veltrix::Bridge::Native::deploy_runtime(header(), '/opt/clr', 5), 75, "stand-in's 70 + channel";
    my $clr = Veltrix::Client->new(runtime => 'Clr', version => 3);
    is $clr->set_embedded_runtime('/opt/clr'), 43, 'through the client, with its version';
    is $clr->deploy_runtime('/opt/clr'), 70, 'through the client, with its channel';

    is text_of { Veltrix::Bridge::Native::set_embedded_runtime(4, 256, 0, '/opt/clr') },
        'Called runtime number out of range: 256', 'a runtime number beyond a byte is refused';
    is text_of { Veltrix::Bridge::Native::deploy_runtime(header(), '/opt/clr', -1) }, 'Channel out of range: -1',
        'so is a channel';
    my $error = error_of { Veltrix::Bridge::Native::deploy_runtime(header(channel => 7), '/opt/clr', 0) };
    is_deeply [$error->result, "$error"], [-5, 'Veltrix Core Exception: Exception code 023.'], 'DeployRuntime failure';
};

subtest 'configuration exports die with -6 and -7 when the utilities library is missing' => sub {
    my $error = error_of { Veltrix::Client->set_config_source('{"logging":"ALL"}') };
    is $error->result, -6, 'SetConfigSource';
    like "$error", qr/\AVeltrix Core Exception: Exception code 001\. \nCannot load: \Q$native_dir\E/,
        'the load failure of a library from the native directory';
    $error = error_of { Veltrix::Client->set_working_directory($tree->root) };
    is $error->result, -7, 'SetWorkingDirectory';
    like "$error", qr/\AVeltrix Core Exception: Exception code 001\. /, '... with its text';
};

subtest 'a client call travels through the bridge to the stand-in and is decoded' => sub {
    my $clr = Veltrix::Client->new(runtime => 'Clr');
    # The stand-in answers with the command itself: flags 3 read as the int64 tag, followed by the
    # argument count (4) and the four one-byte null arguments, decode as the number 4.
    is $clr->execute_with_flags('Value', F_LIST_CONTEXT | F_BY_VALUE, undef, undef, undef, undef), 4,
        'answer decoded';
    my $message = $clr->message('InvokeStaticMethod', 0, 'System.Math', 'Max', 3, 7);
    is substr(Veltrix::Bridge::Native::send_command($message), 11), substr($message, 11), 'body unchanged';
};

subtest 'a missing library reaches Perl as the 001 text with its path and the loader reason' => sub {
    # TCP preloads OpenSSL first; TLS does not. Each on a port of its own: a transport for an address and
    # port serves later commands for them whatever their channel type.
    my %missing = (Jvm => ['VeltrixJvmRuntimeNative.dll'], tls => ['VeltrixTcpTlsClient.dll', 9],
                   tcp => ['libcrypto-3-x64.dll', 10]);
    for my $case (sort keys %missing) {
        my ($file, $port) = @{$missing{$case}};
        my $client = $port ? Veltrix::Client->new(runtime => 'Clr', channel => $case, address => '127.0.0.1', port => $port)
                           : Veltrix::Client->new(runtime => $case);
        my $error = error_of { $client->invoke_static_method('System.Math', 'Max', 3, 7) };
        isa_ok $error, 'Veltrix::Bridge::NativeError';
        like "$error", qr/\AVeltrix Core Exception: Exception code 001\. \nCannot load: \Q$native_dir\E\/\S*\Q$file\E\. \nError: 126 - .*\Q$file\E.*No such file or directory/s,
            "$case: the code line, the path, code 126 and the loader text";
        is_deeply [$error->result, "$error"], [-2, Veltrix::Bridge::Native::native_error()], "$case: GetNativeError's text";
    }
    $tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'), 'VeltrixJvmRuntimeNative.dll');
    my $message = Veltrix::Client->new(runtime => 'Jvm')->message('Value', 0, 'ping');
    is substr(Veltrix::Bridge::Native::send_command($message), 11), substr($message, 11), 'answered once it is there';
};

subtest 'a runtime library without CreateReceiver is reported with code 014' => sub {
    $tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_NO_RECEIVER'), 'VeltrixGoRuntimeNative.dll');
    my $error = error_of { Veltrix::Client->new(runtime => 'Go')->execute('Value', 1) };
    is_deeply [$error->result, "$error"], [-2, "Veltrix Core Exception: Exception code 014. \nReinstall Veltrix package"];
};

subtest 'a product tree without the bridge fails at the first command with the loader text' => sub {
    my $bare = VeltrixTestTree->new(bridge => 0);
    my $bridge = File::Spec->catfile($bare->native_dir, 'VeltrixPerl540RuntimeNative.dll');
    # Another process: this one has its bridge already.
    my $program = 'require Veltrix::Bridge::Native; '
                . 'eval { Veltrix::Bridge::Native::send_command("\\0" x 11); 1 } and exit 3; '
                . 'print ref($@), "|", $@->function, "|", "$@"; exit 0';
    my $output = `"$^X" -I "${\ $bare->lib_dir }" -e '$program' 2>&1`;
    is $? >> 8, 0, 'the command died';
    like $output, qr/\AVeltrix::Bridge::NativeError\|load\|Cannot load: \Q$bridge\E\. \nError: .*No such file/s,
        'a NativeError naming the missing bridge';
};

done_testing;
