nap 1000; signal SEGV
nap 500; signal KILL
run
