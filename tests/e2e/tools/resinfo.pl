#!/usr/bin/perl
# resinfo.pl EXE: reads the resources of a 32-bit Windows executable from its
# resource directory, as the loader finds them, and prints one fact per
# line for a test to compare:
#
#   pe machine 0x%x / pe subsystem N  from the file headers
#   resource TYPE NAME LANGUAGE       each resource (ids in decimal, language 0x%04x)
#   fixed signature 0x%08x            VS_FIXEDFILEINFO of the version resource
#   fixed fileversion A.B.C.D
#   fixed productversion A.B.C.D
#   fixed fileflagsmask 0x%x / fileflags 0x%x / fileos 0x%x / filetype N / filesubtype N
#   stringtable KEY                   each block under StringFileInfo
#   string KEY NAME VALUE             each text of that block (UTF-16 decoded)
#   translation 0x%04x CODEPAGE       each pair of VarFileInfo\Translation
#   manifest executionlevels N        requestedExecutionLevel elements found
#   manifest ATTRIBUTE VALUE          attributes of those elements (level, uiAccess)
#   manifest trustinfo NAMESPACE      namespace of each trustInfo element
#
# Exits non-zero, with a message, when the file is not such an executable or
# its resources are malformed.
use strict;
use warnings;
use Encode qw(decode);

my $file = shift @ARGV or die "usage: resinfo.pl EXE\n";
open my $in, '<:raw', $file or die "$file: $!\n";
my $bytes = do { local $/; <$in> };
close $in;

sub align4 { my ($n) = @_; return ($n + 3) & ~3; }

# Zero-terminated UTF-16 text at $pos: (text, position after the zero).
sub read_wstr {
    my ($data, $pos, $limit) = @_;
    my $end = $pos;
    while (1) {
        die "unterminated text in the version resource\n" if $end + 2 > $limit;
        last if unpack('v', substr($data, $end, 2)) == 0;
        $end += 2;
    }
    return (decode('UTF-16LE', substr($data, $pos, $end - $pos)), $end + 2);
}

# One node of the version tree at $pos (its offset within $data): returns
# (key, type, value bytes, [children as [start, end]], end offset).
sub read_node {
    my ($data, $pos) = @_;
    my ($length, $value_length, $type) = unpack('v3', substr($data, $pos, 6));
    die "version node of length $length\n" if $length < 6 || $pos + $length > length $data;
    my $end = $pos + $length;
    my ($key, $after) = read_wstr($data, $pos + 6, $end);
    my $value_start = align4($after);
    # Text values count their length in characters, binary ones in bytes.
    my $value_bytes = $type == 1 ? 2 * $value_length : $value_length;
    my $value = substr($data, $value_start, $value_bytes);
    my @children;
    my $child = align4($value_start + $value_bytes);
    while ($child + 6 <= $end) {
        my $child_length = unpack('v', substr($data, $child, 2));
        last if $child_length == 0;
        push @children, $child;
        $child = align4($child + $child_length);
    }
    return ($key, $type, $value, \@children, $end);
}

sub version_facts {
    my ($data) = @_;
    my ($key, undef, $fixed, $children) = read_node($data, 0);
    die "version resource named \"$key\"\n" unless $key eq 'VS_VERSION_INFO';
    die "fixed file information of " . length($fixed) . " bytes\n" unless length($fixed) == 52;
    my ($signature, undef, $fms, $fls, $pms, $pls, $mask, $flags, $os, $ftype, $subtype) =
        unpack('V11', $fixed);
    my $dotted = sub { join '.', $_[0] >> 16, $_[0] & 0xFFFF, $_[1] >> 16, $_[1] & 0xFFFF };
    printf "fixed signature 0x%08x\n", $signature;
    print "fixed fileversion ", $dotted->($fms, $fls), "\n";
    print "fixed productversion ", $dotted->($pms, $pls), "\n";
    printf "fixed fileflagsmask 0x%x\nfixed fileflags 0x%x\nfixed fileos 0x%x\n", $mask, $flags, $os;
    print "fixed filetype $ftype\nfixed filesubtype $subtype\n";

    for my $child (@$children) {
        my ($name, undef, undef, $blocks) = read_node($data, $child);
        if ($name eq 'StringFileInfo') {
            for my $block (@$blocks) {
                my ($table, undef, undef, $strings) = read_node($data, $block);
                print "stringtable $table\n";
                for my $string (@$strings) {
                    my ($text_name, $text_type, $value) = read_node($data, $string);
                    my $text = decode('UTF-16LE', $value);
                    $text =~ s/\0\z//;
                    print "string $table $text_name $text\n";
                }
            }
        } elsif ($name eq 'VarFileInfo') {
            for my $var (@$blocks) {
                my ($var_name, undef, $value) = read_node($data, $var);
                next unless $var_name eq 'Translation';
                my @words = unpack('v*', $value);
                while (@words >= 2) {
                    my ($language, $codepage) = splice(@words, 0, 2);
                    printf "translation 0x%04x %d\n", $language, $codepage;
                }
            }
        } else {
            print "versionblock $name\n";
        }
    }
}

sub manifest_facts {
    my ($text) = @_;
    $text =~ s/<!--.*?-->//gs;
    my @levels = $text =~ /<requestedExecutionLevel\b([^>]*)>/g;
    print "manifest executionlevels ", scalar(@levels), "\n";
    for my $attributes (@levels) {
        while ($attributes =~ /(\w+)\s*=\s*(["'])(.*?)\2/g) {
            print "manifest $1 $3\n";
        }
    }
    while ($text =~ /<trustInfo\b[^>]*\bxmlns\s*=\s*(["'])(.*?)\1/g) {
        print "manifest trustinfo $2\n";
    }
}

# --- the PE headers and the resource directory ---------------------------

sub bytes_at {
    my ($offset, $count) = @_;
    die "read past the end of the file at $offset\n" if $offset + $count > length $bytes;
    return substr($bytes, $offset, $count);
}

die "no MZ header\n" unless bytes_at(0, 2) eq 'MZ';
my $pe = unpack('V', bytes_at(0x3C, 4));
die "no PE signature\n" unless bytes_at($pe, 4) eq "PE\0\0";
my ($machine, $section_count, undef, undef, undef, $optional_size) =
    unpack('v v V V V v', bytes_at($pe + 4, 18));
my $optional = $pe + 24;
die "not a PE32 image\n" unless unpack('v', bytes_at($optional, 2)) == 0x10B;
printf "pe machine 0x%x\n", $machine;
printf "pe subsystem %d\n", unpack('v', bytes_at($optional + 68, 2));
my ($rsrc_rva, $rsrc_size) = unpack('V2', bytes_at($optional + 96 + 2 * 8, 8));
die "no resource directory\n" unless $rsrc_rva && $rsrc_size;

my @sections;
for my $i (0 .. $section_count - 1) {
    my ($virtual_size, $address, $raw_size, $raw_offset) =
        unpack('V4', bytes_at($optional + $optional_size + 40 * $i + 8, 16));
    push @sections, [$address, $virtual_size > $raw_size ? $virtual_size : $raw_size, $raw_offset];
}

sub file_offset {
    my ($rva) = @_;
    for my $section (@sections) {
        my ($address, $size, $raw_offset) = @$section;
        return $raw_offset + $rva - $address if $rva >= $address && $rva < $address + $size;
    }
    die sprintf("address 0x%x is in no section\n", $rva);
}

my $rsrc = file_offset($rsrc_rva);

# An entry's name: an id, or (high bit set) a counted UTF-16 text.
sub entry_name {
    my ($name) = @_;
    return $name unless $name & 0x80000000;
    my $at = $rsrc + ($name & 0x7FFFFFFF);
    my $length = unpack('v', bytes_at($at, 2));
    return decode('UTF-16LE', bytes_at($at + 2, 2 * $length));
}

# The entries of the directory at offset $dir of the section: (name, target).
sub directory_entries {
    my ($dir) = @_;
    my ($named, $ids) = unpack('v2', bytes_at($rsrc + $dir + 12, 4));
    return map { [unpack('V2', bytes_at($rsrc + $dir + 16 + 8 * $_, 8))] } 0 .. $named + $ids - 1;
}

sub subdirectory {
    my ($target) = @_;
    die "resource tree too shallow\n" unless $target & 0x80000000;
    return $target & 0x7FFFFFFF;
}

for my $type_entry (directory_entries(0)) {
    my $type = entry_name($type_entry->[0]);
    for my $name_entry (directory_entries(subdirectory($type_entry->[1]))) {
        my $name = entry_name($name_entry->[0]);
        for my $language_entry (directory_entries(subdirectory($name_entry->[1]))) {
            my ($language, $target) = @$language_entry;
            die "resource tree too deep\n" if $target & 0x80000000;
            my ($data_rva, $data_size) = unpack('V2', bytes_at($rsrc + $target, 8));
            my $data = bytes_at(file_offset($data_rva), $data_size);
            printf "resource %s %s 0x%04x\n", $type, $name, $language;
            version_facts($data) if $type eq '16';
            manifest_facts($data) if $type eq '24';
        }
    }
}
