#!/usr/bin/env perl
# Reads bash scripts and prints the words they use as commands, one
# "WORD FILE:LINE" a line, and the functions they define, one "define WORD"
# a line. A rough lexer, enough for these scripts: it skips comments, single-
# quoted texts (the perl and awk programs), ${...} and $((...)), reads
# commands inside "...", $(...) and (...), and knows the shapes where a
# word is not a command: the patterns of a case, the words of [[ ]], an
# array's elements, the arguments of a command.
#
# usage: calls.pl SCRIPT...
use strict;
use warnings;

my %keyword = map { $_ => 1 }
  qw(if then else elif fi do done while until for in case esac function select time { } ! [[ ]]);
# After these, the next word is a command again.
my %leads = map { $_ => 1 } qw(if then else elif do while until ! { time);

for my $file (@ARGV) {
    open my $in, '<', $file or die "calls.pl: $file: $!\n";
    my $text = do { local $/; <$in> };
    my ($line, $i, $n) = (1, 0, length $text);
    my $command = 1;     # the next word is in command position
    my @nest = ('code'); # code, "dq" (inside "..."), or a case's state
    my @case;            # per open case: head, pattern or arm
    my $brackets = 0;    # inside [[ ]]
    my $word = '';
    my $wordline = 1;

    my $end_word = sub {
        return if $word eq '';
        my $w = $word;
        $word = '';
        if ($brackets) {
            $brackets = 0 if $w eq ']]';
            return;
        }
        if (@case && $case[-1] eq 'head') {
            $case[-1] = 'pattern' if $w eq 'in';
            return;
        }
        if (@case && $case[-1] eq 'pattern') {
            if ($w eq 'esac') { pop @case; $command = 0; }
            return;
        }
        return unless $command;
        if ($w =~ /^[A-Za-z_][A-Za-z0-9_]*\+?=/) { return; }    # an assignment: a command may follow
        if ($w eq 'case') { push @case, 'head'; $command = 0; return; }
        if ($w eq '[[') { $brackets = 1; $command = 0; return; }
        if ($w eq 'esac' && @case) { pop @case; $command = 0; return; }
        if ($w eq 'for' || $w eq 'select') { $command = 0; return; }
        if ($keyword{$w}) { $command = $leads{$w} ? 1 : 0; return; }
        print "$w $file:$wordline\n" if $w =~ /^[A-Za-z_][A-Za-z0-9_]*$/;
        $command = 0;
    };

    # Skips from $i (just past an opening text) to its closing text,
    # counting nested openings; returns the index past the close.
    my $skip_nested = sub {
        my ($open, $close) = @_;
        my $depth = 1;
        while ($i < $n && $depth > 0) {
            if (substr($text, $i, 1) eq '\\') { $i += 2; next; }
            $line++ if substr($text, $i, 1) eq "\n";
            if (substr($text, $i, length $open) eq $open) { $depth++; $i += length $open; next; }
            if (substr($text, $i, length $close) eq $close) { $depth--; $i += length $close; next; }
            $i++;
        }
    };

    while ($i < $n) {
        my $c = substr($text, $i, 1);
        my $two = substr($text, $i, 2);
        my $inside = $nest[-1];
        if ($c eq '\\') {
            $line++ if substr($text, $i + 1, 1) eq "\n";
            $word .= substr($text, $i, 2) if $inside eq 'code';
            $i += 2;
            next;
        }
        if (substr($text, $i, 3) eq '$((') { $i += 3; $skip_nested->('((', '))'); $word .= '$' if $inside eq 'code'; next; }
        if ($two eq '${') { $i += 2; $skip_nested->('{', '}'); $word .= '$' if $inside eq 'code'; next; }
        if ($two eq '$(') { $end_word->() if $inside eq 'code'; push @nest, 'sub'; $command = 1; $i += 2; next; }
        if ($inside eq 'dq') {
            pop @nest if $c eq '"';
            $line++ if $c eq "\n";
            $i++;
            next;
        }
        # Code: at the top, inside $(...) or (...).
        if ($c eq '#' && $word eq '') {
            $i++ while $i < $n && substr($text, $i, 1) ne "\n";
            next;
        }
        if ($c eq "'") {
            my $close = index($text, "'", $i + 1);
            $close = $n - 1 if $close < 0;
            $line += () = substr($text, $i, $close - $i + 1) =~ /\n/g;
            $word .= "'x'";
            $i = $close + 1;
            next;
        }
        if ($c eq '"') { push @nest, 'dq'; $word .= '"'; $i++; next; }
        if ($two eq '((' && $word eq '') {    # arithmetic
            $i += 2;
            $skip_nested->('((', '))');
            $command = 0;
            next;
        }
        if ($c eq '(') {
            if ($word =~ /=$/) {    # an array's elements
                $i++;
                $skip_nested->('(', ')');
                $word .= '()';
                next;
            }
            $end_word->();
            push @nest, 'paren';
            $command = 1;
            $i++;
            next;
        }
        if ($c eq ')') {
            $end_word->();
            if (@case && $case[-1] eq 'pattern' && $nest[-1] ne 'sub') {
                $case[-1] = 'arm';
                $command = 1;
            } elsif (@nest > 1) {
                $command = 0;    # the rest of the word, or a separator
                pop @nest;
            }
            $i++;
            next;
        }
        if ($two eq ';;' || $two eq ';&') {
            $end_word->();
            $case[-1] = 'pattern' if @case;
            $i += 2;
            next;
        }
        if ($c =~ /[\n;&|]/) {
            $end_word->();
            $line++ if $c eq "\n";
            $command = 1;
            $i++;
            next;
        }
        if ($c =~ /[ \t<>]/) {
            $end_word->();
            $i++;
            next;
        }
        $wordline = $line if $word eq '';
        $word .= $c;
        $i++;
    }
    $end_word->();

    print "define $1\n" while $text =~ /^\s*(?:function\s+)?([A-Za-z_][A-Za-z0-9_]*)\s*\(\)/mg;
}
