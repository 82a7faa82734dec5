/* time-runs N COMMAND [ARGUMENT...]: runs COMMAND N times, one run after the other, with
 * its standard output and error on /dev/null, and prints one line:
 *   N MEAN_US MEDIAN_US MIN_US MAXRSS_KB FAILED
 * the wall time of a run from fork to reaping (mean, median, least), the largest peak
 * resident set size (ru_maxrss) of any run, and how many runs did not exit with status 0.
 * For bench/gateway-footprint.sh, in the gateway image. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define MAX_RUNS 1000

static long long now_us(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static int by_value(const void *a, const void *b)
{
	long long x = *(const long long *)a, y = *(const long long *)b;

	return (x > y) - (x < y);
}

/* One run: its wall time in microseconds, or -1 when it could not be started. */
static long long run(char **argv, long *maxrss, int *failed)
{
	struct rusage usage;
	int status;
	long long began = now_us();
	pid_t pid = fork();

	if (pid < 0)
		return -1;
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);

		dup2(null, 1);
		dup2(null, 2);
		execvp(argv[0], argv);
		_exit(127);
	}
	if (wait4(pid, &status, 0, &usage) != pid)
		return -1;
	long long took = now_us() - began;
	if (usage.ru_maxrss > *maxrss)
		*maxrss = usage.ru_maxrss;
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		++*failed;
	return took;
}

int main(int argc, char **argv)
{
	static long long took[MAX_RUNS];
	long maxrss = 0;
	int failed = 0;
	long long sum = 0;
	int n = argc >= 3 ? atoi(argv[1]) : 0;

	if (n < 1 || n > MAX_RUNS) {
		fprintf(stderr, "usage: time-runs N COMMAND [ARGUMENT...] (N from 1 to %d)\n", MAX_RUNS);
		return 2;
	}
	for (int i = 0; i < n; i++) {
		took[i] = run(argv + 2, &maxrss, &failed);
		if (took[i] < 0) {
			perror("time-runs");
			return 1;
		}
		sum += took[i];
	}
	qsort(took, n, sizeof took[0], by_value);
	printf("%d %lld %lld %lld %ld %d\n", n, sum / n, took[n / 2], took[0], maxrss, failed);
	return 0;
}
