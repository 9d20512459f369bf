#!/usr/bin/perl
# Names declared at namespace scope (column 0) in the given headers; with -ns NAME only inside
# "namespace NAME {" blocks.
use strict; use warnings;
my $ns; if (@ARGV && $ARGV[0] eq '-ns') { shift; $ns = shift; }
my %stop = map { $_ => 1 } qw(if for while switch return sizeof static_assert bool int void char operator decltype alignof noexcept);
my %seen; my $in = !defined $ns;
while (<>) {
  if (defined $ns) { $in = 1 if /^namespace \Q$ns\E \{/; $in = 0 if /^\} \/\/ namespace \Q$ns\E\b/; }
  next unless $in && /^\S/;
  my @n;
  push @n, $2 if /^(class|struct|enum class|enum)\s+(\w+)\b(?!\s*;)/;
  push @n, $1 if /^template\s*<[^>]*>\s*(?:class|struct)\s+(\w+)\b(?!\s*;)/;
  push @n, $1 if /^using\s+(\w+)\s*=/;
  push @n, $1 if /^using\s+[\w:]+::(\w+)\s*;/;  # names brought in from another namespace
  push @n, $1 if /^(?:inline\s+|constexpr\s+|static\s+)*[\w:<>,*&]+(?:\s+[\w:<>,*&]+)*?[\s*&]+(\w+)\s*\((?!\*)/
                 && !/^(class|struct|enum|using|namespace|return|template|typedef|#)/;
  push @n, $1 if /^(?:inline\s+)?constexpr\s+[\w:<>]+\s+(\w+)\s*[={]/;
  for (@n) { $seen{$_} = 1 unless $stop{$_}; }
}
print "$_\n" for sort keys %seen;
