#!/usr/bin/perl
# Every line the tool can print, on standard output or to the system log,
# must be described in its manual page. The messages are read from the
# sources, so a new message fails this check until the page documents it.
#
# usage: check_messages.pl MANDOC PAGE SOURCE_DIR
#
# A message is the format given to printf, puts, fputs, fprintf, dprintf,
# syslog or perror in SOURCE_DIR/*.cpp, split at its line breaks. Formats
# may be string literals or named string constants (from *.cpp and *.h).
# A function that passes one of its own parameters into such a format (a
# helper like "log a copy warning about WHAT") is expanded at each of its
# call sites, so every text a caller hands it is checked too. Conversions
# (%s, %d, ...) whose value is not a constant stand for variable parts:
# the page shows a placeholder word there, such as "error" or "seconds".
#
# The page is rendered with mandoc; each message must appear in it on one
# line, not as part of a longer word.
use strict;
use warnings;

die "usage: $0 MANDOC PAGE SOURCE_DIR\n" unless @ARGV == 3;
my ($mandoc, $page, $source_dir) = @ARGV;

my $STR = qr/"(?:[^"\\\n]|\\.)*"/;
my $CHR = qr/'(?:[^'\\\n]|\\.)*'/;
my $PAREN = qr/(\((?:[^()"']++|$STR|$CHR|(?-1))*\))/;
my $BRACE = qr/(\{(?:[^{}"']++|$STR|$CHR|(?-1))*\})/;
my $IDENT = qr/[A-Za-z_]\w*/;
my $CONVERSION = qr/%[-+ #0']*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|L|z|j|t)?[diouxXeEfgGcsp]/;
my %KEYWORD = map { $_ => 1 } qw(if for while switch catch return sizeof alignof decltype);

# Where the message of each output call stands: the index of the argument,
# and whether it is a printf format or plain text (with a suffix added).
my %OUTPUT = (
	printf  => [0, 'format', ''],
	fprintf => [1, 'format', ''],
	dprintf => [1, 'format', ''],
	syslog  => [1, 'format', ''],
	puts    => [0, 'text',   ''],
	fputs   => [0, 'text',   ''],
	perror  => [0, 'text',   ': %s'],
);

sub read_file {
	my ($path) = @_;
	open(my $in, '<', $path) or die "cannot read $path: $!\n";
	local $/;
	my $text = <$in>;
	close $in;
	return $text;
}

# Comments become blanks (keeping their line breaks, for line numbers);
# literals stay as they are.
sub strip_comments {
	my ($text) = @_;
	$text =~ s{($STR|$CHR)|(//[^\n]*|/\*.*?\*/)}
	          {defined $1 ? $1 : ' ' . ("\n" x ($2 =~ tr/\n//))}gse;
	return $text;
}

sub decode_literals {
	my ($literals) = @_;
	my $text = '';
	my %escape = (n => "\n", t => "\t", r => "\r", a => "\a", f => "\f",
	              b => "\b", v => "\x0b", '\\' => '\\', '"' => '"', "'" => "'", '?' => '?');
	while ($literals =~ /"((?:[^"\\\n]|\\.)*)"/g) {
		my $piece = $1;
		$piece =~ s{\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)}
		           {$1 =~ /^x/ ? chr(hex(substr($1, 1))) : $1 =~ /^[0-7]/ ? chr(oct($1)) : ($escape{$1} // $1)}ge;
		$text .= $piece;
	}
	return $text;
}

sub trim {
	my ($s) = @_;
	$s =~ s/^\s+|\s+$//g;
	return $s;
}

# Splits the text between a call's parentheses at its top-level commas.
sub split_arguments {
	my ($inner) = @_;
	my (@arguments, $current, $depth);
	($current, $depth) = ('', 0);
	while ($inner =~ /\G($STR|$CHR|[(\[{]|[)\]}]|,|[^"'()\[\]{},]+)/gc) {
		my $token = $1;
		if ($token eq ',' && $depth == 0) {
			push @arguments, trim($current);
			$current = '';
			next;
		}
		$depth++ if $token =~ /^[(\[{]$/;
		$depth-- if $token =~ /^[)\]}]$/;
		$current .= $token;
	}
	push @arguments, trim($current) if $current =~ /\S/ || @arguments;
	return @arguments;
}

sub parameter_names {
	my ($list) = @_;
	my @names;
	for my $parameter (split_arguments($list)) {
		$parameter =~ s/=.*//s;
		push @names, $parameter =~ /($IDENT)\s*(?:\[[^\]]*\]\s*)*$/ ? $1 : '';
	}
	return @names;
}

# --- Reading the sources ---------------------------------------------------

my @cpp = sort glob("$source_dir/*.cpp");
my @headers = sort glob("$source_dir/*.h");
die "no source files in $source_dir\n" unless @cpp;

my %constant;    # name -> text of a string constant
my @functions;   # {name, file, parameters, body, offset, text}
for my $path (@cpp, @headers) {
	my $text = strip_comments(read_file($path));
	while ($text =~ /\b($IDENT)\s*(?:\[\s*\])?\s*=\s*((?:$STR\s*)+)[;,)}]/g) {
		$constant{$1} = decode_literals($2);
	}
	next unless $path =~ /\.cpp$/;
	(my $file = $path) =~ s{.*/}{};
	while ($text =~ /\b($IDENT)\s*$PAREN\s*(?:const\s*)?(?:noexcept\s*)?$BRACE/g) {
		my ($name, $list, $body) = ($1, $2, $3);
		next if $KEYWORD{$name};
		push @functions, {
			name => $name, file => $file, text => $text, offset => $-[3],
			parameters => [parameter_names(substr($list, 1, -1))], body => $body,
		};
	}
}

sub line_of {
	my ($function, $position) = @_;
	my $before = substr($function->{text}, 0, $function->{offset} + $position);
	return 1 + ($before =~ tr/\n//);
}

# Each call of one of the named functions in the bodies of all functions:
# (function, name, arguments, line).
sub calls_of {
	my (@names) = @_;
	my $alternatives = join '|', map { quotemeta } @names;
	my @calls;
	for my $function (@functions) {
		my $body = $function->{body};
		while ($body =~ /(?<![\w.>])($alternatives)\s*$PAREN/g) {
			push @calls, [$function, $1, [split_arguments(substr($2, 1, -1))],
			              line_of($function, $-[0])];
		}
	}
	return @calls;
}

# A part of a message is ['text', TEXT], ['var', CONVERSION] or ['param', INDEX, CONVERSION].
sub classify {
	my ($expression, $conversion, $function) = @_;
	if ($conversion =~ /s$/) {
		return ['text', decode_literals($expression)] if $expression =~ /^(?:$STR\s*)+$/;
		return ['text', $constant{$expression}] if defined $constant{$expression};
	}
	my @parameters = @{$function->{parameters}};
	for my $index (0 .. $#parameters) {
		return ['param', $index, $conversion] if $parameters[$index] ne '' && $expression eq $parameters[$index];
	}
	return ['var', $conversion];
}

sub parse_format {
	my ($format, $arguments, $function) = @_;
	my @parts;
	my $next = 0;
	while ($format =~ /\G(?:(%%)|($CONVERSION)|([^%]+)|(%))/gc) {
		if (defined $1) {
			push @parts, ['text', '%'];
		} elsif (defined $2) {
			my $conversion = $2;
			$next += () = $conversion =~ /\*/g;    # a '*' width takes an argument of its own
			push @parts, classify($arguments->[$next++] // '', $conversion, $function);
		} elsif (defined $3) {
			push @parts, ['text', $3];
		} else {
			return;
		}
	}
	return \@parts;
}

# The message of one output call, or undef when it cannot be read.
# Its format may also be a parameter: ['format-param', INDEX, KIND, SUFFIX].
sub message_of {
	my ($function, $name, $arguments) = @_;
	my ($at, $kind, $suffix) = @{$OUTPUT{$name}};
	my $expression = $arguments->[$at] // return;
	my @rest = @{$arguments}[$at + 1 .. $#$arguments];
	my $text;
	if ($expression =~ /^(?:$STR\s*)+$/) {
		$text = decode_literals($expression);
	} elsif (defined $constant{$expression}) {
		$text = $constant{$expression};
	} else {
		my @parameters = @{$function->{parameters}};
		for my $index (0 .. $#parameters) {
			return ['format-param', $index, $kind, $suffix]
				if $parameters[$index] ne '' && $expression eq $parameters[$index];
		}
		return;
	}
	$text =~ s/%/%%/g if $kind eq 'text';
	return parse_format($text . $suffix . ($name eq 'puts' ? "\n" : ''), \@rest, $function);
}

my (@messages, @unreadable);

sub add_message {
	my ($parts, $where) = @_;
	my @line;
	for my $part (@$parts, ['text', "\n"]) {
		if ($part->[0] ne 'text') {
			push @line, $part;
			next;
		}
		my @pieces = split /\n/, $part->[1], -1;
		for my $i (0 .. $#pieces) {
			push @line, ['text', $pieces[$i]] if length $pieces[$i];
			if ($i < $#pieces) {
				push @messages, [[@line], $where] if @line;
				@line = ();
			}
		}
	}
}

# Parts with parameters filled in from the arguments of one call site.
sub substitute {
	my ($parts, $arguments, $site_function) = @_;
	my @result;
	for my $part (@$parts) {
		if ($part->[0] eq 'param') {
			my $filled = classify($arguments->[$part->[1]] // '', $part->[2], $site_function);
			push @result, $filled->[0] eq 'text' ? $filled : ['var', $part->[2]];
		} else {
			push @result, $part;
		}
	}
	return \@result;
}

my %helper;    # function name -> list of message parts with parameters
for my $call (calls_of(keys %OUTPUT)) {
	my ($function, $name, $arguments, $line) = @$call;
	my $where = "$function->{file}:$line";
	my $parts = message_of($function, $name, $arguments);
	if (!defined $parts) {
		push @unreadable, "$where: $name(" . join(', ', @$arguments) . ')';
	} elsif (!ref $parts->[0] || grep { $_->[0] eq 'param' } @$parts) {
		push @{$helper{$function->{name}}}, [$parts, $where];
	} else {
		add_message($parts, $where);
	}
}

for my $name (sort keys %helper) {
	my @sites = calls_of($name);
	for my $entry (@{$helper{$name}}) {
		my ($parts, $where) = @$entry;
		if (!ref $parts->[0]) {
			my (undef, $index, $kind, $suffix) = @$parts;
			for my $site (@sites) {
				my ($function, undef, $arguments, $line) = @$site;
				my $expression = $arguments->[$index] // '';
				my $text = $expression =~ /^(?:$STR\s*)+$/ ? decode_literals($expression)
				         : $constant{$expression};
				if (!defined $text) {
					push @unreadable, "$function->{file}:$line: $name(" . join(', ', @$arguments) . ')';
					next;
				}
				$text =~ s/%/%%/g if $kind eq 'text';
				my $format = parse_format($text . $suffix, [], $function);
				add_message($format, "$function->{file}:$line") if $format;
			}
			next;
		}
		if (!@sites) {
			add_message(substitute($parts, [], {parameters => []}), $where);
			next;
		}
		for my $site (@sites) {
			my ($function, undef, $arguments, $line) = @$site;
			add_message(substitute($parts, $arguments, $function), "$function->{file}:$line");
		}
	}
}

# --- Matching them against the page -----------------------------------------

sub shown {
	my ($message) = @_;
	return join '', map { $_->[0] eq 'text' ? $_->[1] : $_->[-1] } @$message;
}

# Fixed parts must match exactly (runs of blanks as one, as the page is
# filled); a variable part is a placeholder up to the next fixed character.
sub pattern_of {
	my ($message) = @_;
	my @parts = @$message;
	my $pattern = '';
	for my $i (0 .. $#parts) {
		my $part = $parts[$i];
		if ($part->[0] eq 'text') {
			$pattern .= join '[ ]+', map { quotemeta } split / +/, $part->[1], -1;
			next;
		}
		my $following = $i < $#parts && $parts[$i + 1][0] eq 'text' ? substr($parts[$i + 1][1], 0, 1) : '';
		$pattern .= $following eq '' || $following eq ' ' ? '\S+' : '[^' . quotemeta($following) . '\n]+';
	}
	return $pattern;
}

open(my $render, '-|', $mandoc, '-T', 'ascii', '-O', 'width=1000', $page)
	or die "cannot run $mandoc: $!\n";
my $rendered = do { local $/; <$render> };
close $render or die "$mandoc failed on $page\n";
$rendered =~ s/.\x08//g;             # bold and underline by overstriking
$rendered =~ s/[ \t]+/ /g;
$rendered =~ s/^ | $//mg;

my %seen;
my @undocumented;
for my $entry (@messages) {
	my ($message, $where) = @$entry;
	my $text = shown($message);
	next if $seen{$text}++;
	my $pattern = pattern_of($message);
	if ($rendered =~ /(?<!\S)$pattern(?!\S)/m) {
		print "documented: $text\n";
	} else {
		push @undocumented, "undocumented: $text ($where)";
	}
}
print "$_\n" for sort @undocumented;
print "unreadable: $_\n" for @unreadable;

my $count = keys %seen;
die "no messages found in $source_dir\n" unless $count;
if (@undocumented || @unreadable) {
	print scalar(@undocumented), " of $count messages undocumented, ",
	      scalar(@unreadable), " calls unreadable\n";
	exit 1;
}
print "all $count messages are documented in $page\n";
exit 0;
