/* The command line: options and positional arguments into the run settings,
 * and the handler of the signals that end the run. */
#ifndef TFX_SERVER_COMMANDLINE_H
#define TFX_SERVER_COMMANDLINE_H

/* Fills the run settings from the command line. Returns only when the line
 * holds no usage error and no help request; otherwise writes the usage text
 * and ends the process: exit code 0 after a help request, else 2. */
void ProcessArgs(int argc, char **argv);

/* Handler of SIGUSR1, SIGINT and SIGTERM: writes "Interrupt received" to
 * standard error and clears Run, so the run ends after the current wait or
 * transaction; puts all three back to their default action, so that a second
 * one of any of them ends the process at once. */
void Interrupt(int signal);

/* Handler of SIGPIPE: the reader of standard output (or error) has gone.
 * Sets OutputLost and clears Run, so the run ends as after SIGUSR1, the
 * service closed and its files removed; writes nothing, as nothing can be
 * read. Stays installed: every later write fails with EPIPE instead. */
void OutputClosed(int signal);

/* Installs Interrupt for SIGUSR1, SIGINT and SIGTERM, once each, and
 * OutputClosed for SIGPIPE. Interrupted waits are not restarted, so a
 * sleep ends early. */
void InstallInterrupt();

#endif
