#!/usr/bin/perl
# After the rewrite: the heritage rows of docs/glossary.md whose names were renamed move to the
# table of renamed names ("Before | Now | File"), and rows for the other renames are added.
use strict; use warnings;
my $f = 'docs/glossary.md';
open my $in, '<', $f or die; local $/; my $t = <$in>; close $in;
my %old = (BackplaneProtocol => 'TCPU_BACKPLANE', Isp8051Protocol => 'TCPU_ISP8051',
  AtmelIspProtocol => 'TCPU_AT89C51RX2', PhilipsIspProtocol => 'TCPU_P89C51RX2',
  H8BootProtocol => 'TCPU_H8_3664', CortexCheckProtocol => 'TCPU_CORTEX',
  Arm7CheckProtocol => 'TCPU_ARM7', Qx4tCanProtocol => 'TCPU_QX4T', Qx4tBootProtocol => 'TCPU_QX4T_BOOT',
  Kind => 'CpuKind');
my @moved;
$t =~ s{^(\| ((?:`\w+`(?:, )?)+) \| (.*?) \| (.*?) \|\n)}{
  my ($row, $names, $what, $file) = ($1, $2, $3, $4);
  my @n = $names =~ /`(\w+)`/g;
  if (@n && !grep { !$old{$_} } @n) {
    push @moved, '| ' . join(', ', map { "`$old{$_}`" } @n) . ' | ' . join(', ', map { "`$_`" } @n) . ": $what | $file |\n";
    '';
  } else { $row }
}gme;
push @moved, map { "$_\n" } (
  '| `TCPU_CORTEX_FLASH` | `CortexFlashProtocol`: the Cortex-M3 boot loader that erases, writes and reads | src/devices/CortexFlash.h |',
  '| `CpuState`, `CpuStateName` | `RunState`, `RunStateName`: the state of a run (idle, initialize, erase, program, failed ...) | src/protocol/ProtocolBase.h |',
  '| `CpuKindCode` | `ProtocolKindCode`: the codes of the rows in ProtocolKinds.def | src/protocol/Catalogue.h |',
  '| `CpuFactory`, `CreateBackplaneCpu` | `ProtocolFactory`, `CreateBackplaneProtocol`: makes the protocol object for a kind | src/programmer/ProtocolFactory.h |',
  '| `Cpu()`, `cpu_` | `Protocol()`, `protocol_`: the selected entry\'s protocol object | src/programmer/RunController.h |',
  '| `Comm` | `Link`: the serial link a protocol or the run controller talks through | src/protocol/ProtocolBase.h, src/programmer/RunController.h |',
  '| `prg`, `prg_` | `runControl`, `runControl_`: the run controller as the session, the main controller and the commands hold it | src/app/Session.h, src/app/MainController.h |',
  '| src/cpu, `vk::cpu` | src/devices, `vk::devices`: one protocol per device family, the boot kernels | src/devices |',
  '| `vk::programmer` in src/protocol and src/app | `vk::protocol`, `vk::app`: every file of src/X is in namespace `vk::X` | |',
);
my $moved = join '', @moved;
# append to the renamed table: after its last row
$t =~ s{(## The engine's core, renamed\n.*?\| --- \| --- \| --- \|\n(?:\|.*\n)*)}{$1$moved}s or die "renamed table not found";
$t =~ s{(## The engine's core, renamed\n.*?(?:\|.*\n)+)}{$1\nStill named after the chips: the kind codes (`kKindAT89C51RX2` ...), since they\nname the parts they serve. The other names of the first table stay: each row says what\nthe name stands for today.\n}s;
open my $o, '>', $f or die; print $o $t; close $o;
