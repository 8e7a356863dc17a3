#!/usr/bin/env bash
# Renders each manual page as a reader sees it and checks that every message
# its program can print appears in it whole, and that nothing in it renders
# mangled (a heading that loses its first word to mdoc, quotes inside quotes).
# Usage: man_pages_test.sh SOURCE_DIR
#
# The messages are taken from the sources: the string literals given to
# say, fail, fail_system, perror, printf and fprintf(stderr, ...), and the
# lines of tests/printed_messages.txt for those written otherwise. A
# conversion (%d, %s...) stands for any text on the same rendered line, so
# "line %d too long" is found as "line %d too long" or "line N too long".
set -euo pipefail
src=$1
status=0
fail() { echo "FAILED: $*" >&2; status=1; }

# The page as a reader sees it, wide enough that no line wraps, without the
# overstrike of bold and underline.
render() { mandoc -T utf8 -O width=1000 "$src/man/$1" | perl -pe 's/.\x08//g; s/[ \t]+/ /g'; }

# The messages of the program whose sources are in DIR, one a line: their
# format strings, C's escapes undone.
messages() { # messages DIR
    perl -0777 -ne '
        my $literal = qr/(?:"(?:[^"\\\n]|\\.)*"\s*)+/;
        sub text { my $t = join "", $_[0] =~ /"((?:[^"\\\n]|\\.)*)"/g;
                   $t =~ s/\\(.)/$1 eq "n" || $1 eq "t" ? " " : $1/ge; $t =~ s/\s+$//; return $t }
        s{//[^\n]*}{}g;
        print text($1), "\n" while /\b(?:say|fail|printf)\s*\(\s*($literal)[,)]/g;
        print text($1), "\n" while /\bfprintf\s*\(\s*stderr\s*,\s*($literal)/g;
        print text($1), ": %s\n" while /\b(?:fail_system|perror)\s*\(\s*($literal)\)/g;
        ' $(compgen -G "$src/$1/*.cpp") $(compgen -G "$src/$1/*.h")
    sed -n "s/^$1 //p" "$src/tests/printed_messages.txt"
}

# A message as a pattern over one rendered line: its fixed parts in order,
# blanks as any blanks, each conversion as any text; nothing for a message
# that is all conversions.
pattern() {
    perl -ne 'chomp; s/^\s+|\s+$//g;
        my @parts = split /%[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|z|j|t)?[diouxXscp]/, $_, -1;
        exit unless grep { /\S/ } @parts;
        for (@parts) { s/%%/%/g; $_ = join "\\s+", map { quotemeta } split /\s+/, $_, -1 }
        print join(".*", @parts), "\n"'
}

check_messages() { # check_messages PAGE DIR
    local rendered count=0 message regex
    rendered=$(render "$1")
    while IFS= read -r message; do
        regex=$(pattern <<<"$message")
        [ -n "$regex" ] || continue
        count=$((count + 1))
        grep -qP -- "$regex" <<<"$rendered" || fail "$1 does not show this message of $2/: $message"
    done < <(messages "$2" | sort -u)
    # Too few means the sources print in a way this script does not see.
    [ "$count" -ge 10 ] || fail "only $count messages found in $2/"
    echo "$1: $count messages of $2/ checked"
}

check_rendering() { # check_rendering PAGE
    ! grep -nE '^\.It (No|An|At) ' "$src/man/$1" ||
        fail "$1: mdoc reads the first word of these headings as a macro and drops it (write \\&No)"
    ! grep -nP '‘[^’]*‘' <(render "$1") || fail "$1: quotes opened inside quotes (one .Ql for each name)"
}

for page in tabrin.1 tabrind.8 tabrind.conf.5; do
    check_rendering $page
done
check_messages tabrin.1 daemon
check_messages tabrind.8 controller
exit $status
