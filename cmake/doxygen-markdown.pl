#!/usr/bin/perl
# SPDX-License-Identifier: BSD-3-Clause
# Input filter of `make docs` for README.md: Doxygen reads a backslash in running text, and in
# some code spans, as the start of a command, so the Windows paths of the README (`run\FL.pat`)
# stopped the API reference with "unknown command" errors. Every code span that holds a backslash
# becomes a <tt> span whose backslashes are escaped for Doxygen and whose <, >, & and double
# quotes are HTML entities (a quoted text would keep Doxygen from seeing the span's end), and
# "--" is written as Doxygen's command for two hyphens (it would make a dash of it); fenced
# code blocks, which Doxygen takes as they are, are left alone. Line breaks are kept, so the line
# numbers of Doxygen's messages are those of the README.
use strict;
use warnings;
local $/;
my $text = <>;
$text =~ s{(^[ \t]*```.*?^[ \t]*```[^\n]*$)|(`[^`]*\\[^`]*`)}{
  defined $1 ? $1 : do {
    my $code = substr($2, 1, -1);
    $code =~ s/&/&amp;/g;
    $code =~ s/</&lt;/g;
    $code =~ s/>/&gt;/g;
    $code =~ s/"/&quot;/g;
    $code =~ s/--/\\--/g;
    $code =~ s/\\/\\\\/g;
    "<tt>$code</tt>";
  }
}gmse;
print $text;
