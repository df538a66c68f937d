# Time of one run against the size of the inittab, from bench/run.
# Variables: results (directory of the scaling-FS.dat files), filesystems
# (words, e.g. "tmpfs disk"), output (the PNG to write).
set terminal pngcairo noenhanced size 960,600 font ",11"
set output output
set title "app_kelvane register on the sandboxed device: median wall time per run"
set xlabel "inittab lines"
set ylabel "milliseconds"
set logscale xy
set grid xtics ytics mxtics mytics
set key top left
set datafile missing "-"
set xrange [20:200000]
data(fs) = sprintf("%s/scaling-%s.dat", results, fs)
plot for [fs in filesystems] data(fs) using 1:2 with linespoints lw 2 pt 7 \
	title sprintf("app_kelvane register, /etc on %s", fs), \
     for [fs in filesystems] data(fs) using 1:4 with linespoints lw 1 pt 5 dt 2 \
	title sprintf("shell script register, /etc on %s", fs), \
     for [fs in filesystems] data(fs) using 1:3 with linespoints lw 1 pt 9 dt 3 \
	title sprintf("cp of the inittab, /etc on %s", fs), \
     data(word(filesystems, 1)) using 1:5 with lines lw 1 lc rgb "gray40" \
	title "exec floor (empty C program)"
