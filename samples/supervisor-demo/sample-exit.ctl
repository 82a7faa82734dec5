nap 1500; exit 0
nap 1500; exit 3
nap 1500; exit 160
run
