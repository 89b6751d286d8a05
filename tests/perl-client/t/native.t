# native.t: Veltrix::Bridge::Native over the bridge's real exports, with a stand-in runtime in the product tree.
use strict;
use warnings;
use Test::More;

use Cwd ();
use File::Spec;
use FindBin ();
use lib "$FindBin::Bin/lib";
use VeltrixTestTree;
use VeltrixStandin;

my $tree = VeltrixTestTree->new->use_modules;
my $standin = $tree->add_native_library(VeltrixTestTree::env_path('VELTRIX_STANDIN_RUNTIME'),
                                        'VeltrixClrRuntimeNative.dll');
require Veltrix::Bridge::Native;
require Veltrix::Client;
use constant {F_LIST_CONTEXT => 1, F_BY_VALUE => 2};

my $bridge = File::Spec->catfile($tree->native_dir, 'VeltrixPerl540RuntimeNative.dll');

# Header towards runtime 0 (Clr) from Perl (4): called, version, channel, 4 octets, port (2), calling, type.
sub header { my %h = (called => 0, version => 0, channel => 0, type => 2, @_);
             pack('C3 C4 v C C', @h{qw(called version channel)}, 0, 0, 0, 0, 0, 4, $h{type}) }
sub error_of (&) { my ($code) = @_; eval { $code->(); 1 } ? undef : $@ }
# Loaded copies of a file: each maps its first page (offset 0) once.
sub copies_of { my ($file) = @_; open my $maps, '<', '/proc/self/maps' or die $!;
                return scalar grep { my @f = split; @f >= 6 && $f[5] eq $file && hex($f[2]) == 0 } <$maps> }

subtest 'the module loads the bridge of its own product tree, once' => sub {
    is Cwd::abs_path(Veltrix::Bridge::Native::library_path()), Cwd::abs_path($bridge), 'path from the module location';
    is Veltrix::Bridge::Native::library_handle(), 0, 'not loaded at use';
    ok Veltrix::Bridge::Native::native_error(), 'loaded at the first call';
    is copies_of(Cwd::abs_path($bridge)), 1, 'mapped into the process';
    my $other_spelling = File::Spec->catfile($tree->native_dir, File::Spec->updir, 'X64', 'VeltrixPerl540RuntimeNative.dll');
    is Veltrix::Bridge::Native::load_library($other_spelling), Veltrix::Bridge::Native::library_handle(),
        'loading the same file again gives the same module';
    is copies_of(Cwd::abs_path($bridge)), 1, 'no second copy';
};

subtest 'a command reaches the stand-in through the exports and its answer comes back' => sub {
    # The first command of the process: the stand-in's receiver is made and prepared for it.
    my $message = header(type => 2, version => 7) . "\x00\x01\x02\xff";
    my $answer = Veltrix::Bridge::Native::send_command($message);
    (my $expected = $message) =~ s/\A(.{10})./$1\x00/s;
    is unpack('H*', $answer), unpack('H*', $expected), 'the stand-in echoes the command as a Value answer';
    ok !utf8::is_utf8($answer), 'a byte string';
    my @calls = split /\n/, VeltrixStandin::call_log($standin) // '';
    is_deeply [grep { /^(CreateReceiver|Initialize)/ } @calls], ['CreateReceiver(1)', 'Initialize(4,0,7)'],
        'the receiver is prepared with the calling runtime, the called runtime and the version, in that order';
    is_deeply [grep { /^(SendCommand|ReadResponse)/ } @calls],
        ['SendCommand(15:00 07 00 00 00 00 00 00 00 04 02 00 01 02 ff)', 'ReadResponse(15)'],
        'one SendCommand and one ReadResponse of the answer length';

    my $big = header(type => 9) . join('', map { chr($_ % 256) } 0 .. 1_000_000);
    ($expected = $big) =~ s/\A(.{10})./$1\x00/s;
    ok Veltrix::Bridge::Native::send_command($big) eq $expected, 'a message of a megabyte comes back whole';
    is length Veltrix::Bridge::Native::send_command(header()), 11, 'a header alone is a command';
};

subtest 'failure results of the exports die with the bridge error text' => sub {
    my $line = __LINE__ + 1;
    my $error = error_of { Veltrix::Bridge::Native::send_command(substr header(), 0, 10) };
    isa_ok $error, $_ for qw(Veltrix::Bridge::NativeError Veltrix::Error);
    is "$error", 'Message byte array length is less than 11', 'the text exactly, no Perl location added';
    is_deeply [map { $error->$_ } qw(message text function result file line class stack)],
        ['Message byte array length is less than 11', 'Message byte array length is less than 11', 'SendCommand', -2,
         __FILE__, $line, '', ''], 'message (text is its older name), export, result, the place of the call';
    is Veltrix::Bridge::Native::native_error(), 'Message byte array length is less than 11', 'GetNativeError';

    is "${\ error_of { Veltrix::Bridge::Native::send_command('') } }", 'Message byte array length is less than 11',
        'an empty message';
    is "${\ error_of { Veltrix::Bridge::Native::send_command(header(channel => 3)) } }",
        'Veltrix Core Exception: Exception code 023.', 'unknown channel type';

    $error = error_of { Veltrix::Bridge::Native::send_command(header() . "\xEE") };
    is "$error", 'Stand-in failure [expected]', "the other runtime's failure text arrives unchanged";
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

    my $error = error_of { Veltrix::Bridge::Native::set_embedded_runtime(4, 256, 0, '/opt/clr') };
    is "$error", 'Called runtime number out of range: 256', 'a runtime number beyond a byte is refused';
    $error = error_of { Veltrix::Bridge::Native::deploy_runtime(header(), '/opt/clr', -1) };
    is "$error", 'Channel out of range: -1', 'so is a channel';
    $error = error_of { Veltrix::Bridge::Native::deploy_runtime(header(channel => 7), '/opt/clr', 0) };
    is $error->result, -5, 'DeployRuntime failure result';
    is "$error", 'Veltrix Core Exception: Exception code 023.', '... with its text';
};

subtest 'configuration exports die with -6 and -7 when the utilities library is missing' => sub {
    my $error = error_of { Veltrix::Client->set_config_source('{"logging":"ALL"}') };
    isa_ok $error, 'Veltrix::Bridge::NativeError';
    is $error->result, -6, 'SetConfigSource';
    like "$error", qr/\AVeltrix Core Exception: Exception code 001\. \nCannot load: \Q${\ $tree->native_dir }\E/,
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

    # TCP preloads OpenSSL first; TLS does not. Each on a port of its own: a transport for an address and
    # port serves later commands for them whatever their channel type.
    my %missing = (tls => 'VeltrixTcpTlsClient.dll', tcp => 'libcrypto-3-x64.dll');
    my %port = (tls => 9, tcp => 10);
    for my $channel (sort keys %missing) {
        my $remote = Veltrix::Client->new(runtime => 'Clr', channel => $channel, address => '127.0.0.1',
                                          port => $port{$channel});
        my $error = error_of { $remote->execute('Value', 1) };
        isa_ok $error, 'Veltrix::Bridge::NativeError';
        like "$error", qr/\AVeltrix Core Exception: Exception code 001\. \nCannot load: \Q${\ $tree->native_dir }\E\/\S*\Q$missing{$channel}\E\. \nError: 126 - /,
            "$channel: the first missing library of the channel, with its path";
    }
};

done_testing;
