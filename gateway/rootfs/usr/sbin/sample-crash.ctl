nap 500; signal KILL
run
