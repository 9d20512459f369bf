#!/usr/bin/perl
# Rewrites the files named on the command line in place (see rename-heritage.sh).
use strict; use warnings;

my @ids = (  # old identifier => new, whole words only, never inside string literals
  TCPU_BACKPLANE => 'BackplaneProtocol', TCPU_ISP8051 => 'Isp8051Protocol',
  TCPU_AT89C51RX2 => 'AtmelIspProtocol', TCPU_P89C51RX2 => 'PhilipsIspProtocol',
  TCPU_H8_3664 => 'H8BootProtocol', TCPU_CORTEX_FLASH => 'CortexFlashProtocol',
  TCPU_CORTEX => 'CortexCheckProtocol', TCPU_ARM7 => 'Arm7CheckProtocol',
  TCPU_QX4T_BOOT => 'Qx4tBootProtocol', TCPU_QX4T => 'Qx4tCanProtocol',
  CpuState => 'RunState', CpuStateName => 'RunStateName',
  CpuKindCode => 'ProtocolKindCode', CpuKind => 'Kind', cpuKind => 'kindCode',
  CpuFactory => 'ProtocolFactory', MakeCpuFactory => 'MakeProtocolFactory',
  CreateBackplaneCpu => 'CreateBackplaneProtocol', PlainCpu => 'PlainProtocol', CpuBase => 'ProtocolBaseRun',
  Cpu => 'Protocol', cpu_ => 'protocol_',
  Comm => 'Link', prg => 'runControl', prg_ => 'runControl_',
  cpu_tests => 'devices_tests', cpu_base_test => 'protocol_base_test', vk_cpu => 'vk_devices',
);
my %id = @ids;
my $idre = join '|', sort { length($b) <=> length($a) } keys %id;
$idre = qr/(?<![\w])($idre)(?![\w])/;

my @paths = (  # file paths (includes, CMake lists, docs)
  'cpu/AT89C51RX2' => 'devices/AtmelIsp', 'cpu/P89C51RX2' => 'devices/PhilipsIsp',
  'cpu/H8_3664' => 'devices/H8Boot', 'cpu/Cortex_M3' => 'devices/CortexCheck',
  'cpu/CortexM3Flash' => 'devices/CortexFlash', 'cpu/ARM7' => 'devices/Arm7Check',
  'cpu/QX4T' => 'devices/Qx4t', 'programmer/CpuFactory' => 'programmer/ProtocolFactory',
  'programmer/cpu_base_test' => 'programmer/protocol_base_test',
);
my @pathPairs;
while (@paths) { my ($a, $b) = splice @paths, 0, 2; push @pathPairs, [$a, $b]; }

sub mapsym { my $s = shift; return exists $id{$s} ? $id{$s} : $s; }
sub alt { my @w = @_; return @w ? join('|', sort { length($b) <=> length($a) } @w) : '(?!)'; }
my @groups = qw(protocol devices app programmer);
my %member = map { mapsym($_) => 1 } split ' ', ($ENV{MEMBER_NAMES} // '');
delete $member{mapsym($_)} for split ' ', ($ENV{TYPE_NAMES} // '');
my (%symRe, %qualRe, %groupOf);
for my $g (@groups) {
  my @s = map { mapsym($_) } split ' ', ($ENV{"SYMS_$g"} // '');
  $symRe{$g} = alt(@s);
  $qualRe{$g} = alt(grep { !$member{$_} } @s);
  $groupOf{$_} = $g for split ' ', ($ENV{"FILES_$g"} // '');
}

sub paths_in {  # path rewrites for a piece of text
  my $t = shift;
  for my $p (@pathPairs) { my ($a, $b) = @$p; $t =~ s/(?<![\w])\Q$a\E(?=[.\/])/$b/g; }
  $t =~ s{(?<![\w/])(src|tests)/cpu\b}{$1/devices}g;
  $t =~ s{(?<![\w/.])cpu/(?=\w)}{devices/}g;
  return $t;
}

sub ids_in {  # identifier and qualifier rewrites in code or prose; $group: the file's new
  my ($t, $group) = @_;  # namespace when it was in vk::programmer (its unqualified uses get qualified)
  $t =~ s/$idre/$id{$1}/g;
  $t =~ s/\bvk::cpu\b/vk::devices/g;
  $t =~ s/(?<![\w:])cpu::(?=\w)/devices::/g;
  for my $g (@groups) {
    next if $g eq 'programmer';
    $t =~ s/\bprogrammer::($symRe{$g})\b/${g}::$1/g;
  }
  if ($group) {
    for my $g (@groups) {
      next if $g eq $group;
      $t =~ s/(?<![\w:.~])(?<!->)($qualRe{$g})\b/${g}::$1/g;
    }
  }
  return $t;
}

sub code_line {  # rewrite one line of C++, keeping string and char literals as they are
  my ($line, $inComment, $qualify) = @_;
  if ($line =~ /^\s*#\s*include\s/) { return (paths_in($line), $$inComment); }
  my $out = ''; my $code = '';
  my $flush = sub { my $q = shift; $out .= ids_in($code, $q); $code = ''; };
  my $i = 0; my $n = length $line;
  while ($i < $n) {
    if ($$inComment) {
      my $e = index($line, '*/', $i);
      my $end = $e < 0 ? $n : $e + 2;
      $out .= ids_in(substr($line, $i, $end - $i), undef); $i = $end;
      $$inComment = 0 if $e >= 0; next;
    }
    my $c = substr($line, $i, 1); my $c2 = substr($line, $i, 2);
    if ($c2 eq '//') { $flush->($qualify); $out .= ids_in(substr($line, $i), undef); $i = $n; next; }
    if ($c2 eq '/*') { $flush->($qualify); $$inComment = 1; $out .= '/*'; $i += 2; next; }
    if ($c eq '"' || ($c eq "'" && !($code =~ /[0-9A-Fa-f]$/))) {   # 0x1'000 digit separators
      $flush->($qualify);
      my $j = $i + 1;
      while ($j < $n) { my $d = substr($line, $j, 1); if ($d eq '\\') { $j += 2; next; } last if $d eq $c; $j++; }
      $out .= substr($line, $i, $j + 1 - $i); $i = $j + 1; next;
    }
    $code .= $c; $i++;
  }
  $flush->($qualify);
  return ($out, $$inComment);
}

for my $f (@ARGV) {
  next unless -f $f;
  open my $in, '<', $f or die "$f: $!"; local $/; my $text = <$in>; close $in;
  my $orig = $text;
  if ($f =~ /\.(h|hpp|cpp|c|def)$/) {
    my $group = $groupOf{$f};
    if ($group && $group ne 'programmer') {
      # the file's own blocks follow its folder; forward-declaration-only blocks stay
      $text =~ s{^namespace vk::programmer \{\n(.*?)^\} // namespace vk::programmer\n}{
        my $body = $1;
        ($body =~ m{^(?!\s*(class|struct)\s+\w+;)(?!\s*//)\s*\S}m)
          ? "namespace vk::$group {\n$body} // namespace vk::$group\n" : "namespace vk::programmer {\n$body} // namespace vk::programmer\n"
      }gmse;
    }
    my $inC = 0; my @out;
    for my $line (split /\n/, $text, -1) {
      my $q = $group;
      # declarations of the names themselves, forward declarations and namespace lines stay
      $q = undef if $line =~ /^\s*(class|struct|enum)\s+\w+\s*;/ || $line =~ /^\s*namespace\b/ || $line =~ /^\s*using\s+\w+::\w+::\w+;/;
      my ($l) = code_line($line, \$inC, $q);
      push @out, $l;
    }
    $text = join "\n", @out;
    # Files that pulled the old namespace in wholesale also need the new ones.
    if ($text =~ /^\s*using namespace ((?:vk::)?)programmer;$/m) {
      my $pre = $1; my $add = '';
      for my $g (@groups) {
        next if $g eq 'programmer';
        $add .= "using namespace $pre$g;\n" if $text =~ /(?<![\w:])($symRe{$g})\b/ && $text !~ /^\s*using namespace (vk::)?$g;$/m;
      }
      my $keep = $text =~ /(?<![\w:])($symRe{programmer})\b/;
      $text =~ s/^(\s*)using namespace (?:vk::)?programmer;\n/$keep ? "$&$add" : $add/me;
    }
  } elsif ($f =~ /(CMakeLists\.txt|\.cmake)$/) {
    $text = paths_in($text);
    $text =~ s/$idre/$id{$1}/g;
    $text =~ s/\bplatform image link protocol cpu programmer\b/platform image link protocol devices programmer/g;
    $text =~ s/\b(foreach\(layer [^)]*?)\bcpu\b/$1devices/g;
    $text =~ s/\bCPU_(SOURCES|TESTS)\b/DEVICES_$1/g;
  } elsif ($f =~ /\.md$/) {
    my @out;
    for my $line (split /\n/, $text, -1) {
      # prose: names outside "quoted program texts" and paths
      my @parts = split /("[^"]*")/, $line;
      for (@parts) { $_ = ids_in(paths_in($_), undef) unless /^"/; }
      push @out, join '', @parts;
    }
    $text = join "\n", @out;
  } else {
    $text = paths_in($text);
  }
  if ($text ne $orig) { open my $o, '>', $f or die "$f: $!"; print $o $text; close $o; }
}
