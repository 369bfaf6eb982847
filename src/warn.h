// Reasons on standard error: one line for each thing that went wrong, apart
// from the console report on standard output.
#ifndef MARQUELL_WARN_H
#define MARQUELL_WARN_H

// Prints "marquell: " and the formatted line on standard error. Under the
// journal (standard error is the stream JOURNAL_STREAM names) the line
// carries warning priority, so that journalctl -p warning lists only what
// went wrong.
// NOLINTNEXTLINE(cert-dcl50-cpp): checked as printf is
__attribute__((format(printf, 1, 2))) void Warn(const char* format, ...);

// The same at notice priority under the journal: what an owner may like to
// know but that went as asked, such as the displays a repaint leaves to the
// next run.
// NOLINTNEXTLINE(cert-dcl50-cpp): checked as printf is
__attribute__((format(printf, 1, 2))) void Notice(const char* format, ...);

#endif
