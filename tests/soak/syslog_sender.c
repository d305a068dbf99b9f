/* A sender of syslog messages through the C library's syslog(3), as any
   daemon logs: it writes to /dev/log, so a test runs it in a mount namespace
   where /dev/log is the intake's socket.

     scribe_syslog_sender TAG COUNT TEXT

   opens the log with TAG, LOG_PID and the facility local3, prints its
   process id, then sends COUNT messages at LOG_ERR: TEXT alone when COUNT
   is 1, else "TEXT N." for N from 1 to COUNT. */
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: scribe_syslog_sender TAG COUNT TEXT\n");
    return 2;
  }
  long count = strtol(argv[2], NULL, 10);
  printf("%ld\n", (long)getpid());
  fflush(stdout);
  openlog(argv[1], LOG_PID, LOG_LOCAL3);
  if (count == 1) {
    syslog(LOG_ERR, "%s", argv[3]);
  } else {
    for (long i = 1; i <= count; ++i) syslog(LOG_ERR, "%s %ld.", argv[3], i);
  }
  closelog();
  return 0;
}
