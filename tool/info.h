// The answers to --help and --version, shared by the tools.
#ifndef RUX_TOOL_INFO_H
#define RUX_TOOL_INFO_H

// If word is "--help" or "--version", prints usage or "TOOL VERSION" (tool
// being the first word of usage after "Usage: ") to standard output and
// returns 1; otherwise returns 0 and prints nothing. With onlyIfNoFile set
// the word is not taken as an option when a file of that name exists, so
// such a file can still be named as an argument.
int AnswerInfoOption(const char* word, const char* usage, int onlyIfNoFile);

#endif
