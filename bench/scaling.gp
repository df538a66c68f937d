# Time of one run against the size of the inittab, from bench/run: one
# panel for each place of /etc, the glibc and the static builds of the
# tool in each, against the shell script, cp and the floors.
# Variables: results (directory of the scaling-FS.dat files), filesystems
# (words, e.g. "tmpfs disk"), output (the PNG to write).
# Columns of the data: lines, glibc tool, cp, shell script, glibc exec
# floor, then static musl tool, exec floor, transaction floor, then the
# same three of static uClibc-ng.
panels = words(filesystems)
set terminal pngcairo noenhanced size 640 * panels + 120, 620 font ",10"
set output output
set multiplot layout 1, panels title "app_kelvane register on the sandboxed device: median wall time per run"
set xlabel "inittab lines"
set ylabel "milliseconds"
set logscale xy
set grid xtics ytics mxtics mytics
set key top left
set datafile missing "-"
set xrange [20:200000]
set yrange [0.05:1000]
data(fs) = sprintf("%s/scaling-%s.dat", results, fs)
do for [fs in filesystems] {
	set title sprintf("/etc on %s", fs)
	plot data(fs) using 1:2 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "app_kelvane register, glibc", \
	     data(fs) using 1:6 with linespoints lw 2 pt 9 lc rgb "#d62728" title "app_kelvane register, static musl", \
	     data(fs) using 1:9 with linespoints lw 2 pt 11 lc rgb "#ff7f0e" title "app_kelvane register, static uClibc-ng", \
	     data(fs) using 1:4 with linespoints lw 1 pt 5 dt 2 lc rgb "#2ca02c" title "shell script register", \
	     data(fs) using 1:3 with linespoints lw 1 pt 13 dt 3 lc rgb "#9467bd" title "cp of the inittab", \
	     data(fs) using 1:8 with lines lw 1 dt 4 lc rgb "#d62728" title "transaction floor, static musl (typical inittab)", \
	     data(fs) using 1:5 with lines lw 1 lc rgb "gray40" title "exec floor, glibc", \
	     data(fs) using 1:7 with lines lw 1 dt 2 lc rgb "gray40" title "exec floor, static musl"
}
unset multiplot
