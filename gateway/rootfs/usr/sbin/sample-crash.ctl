nap 500; signal 9
run
