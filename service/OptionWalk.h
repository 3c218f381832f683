// The command-line option walk, kept apart from the actions it selects.
#pragma once

// The console action, or the service run, that a command line selects.
enum class ECommandAction {
    RunAsService,
    Install,
    Uninstall,
    StartInstalled,
    StopInstalled,
};

// What the walk found. The account name and password point into the
// argument strings themselves (no copy is made).
struct CCommandOptions {
    ECommandAction m_action;
    const char* m_accountName;
    const char* m_password;
};

// Walks argv[1] .. argv[argc - 1] once, in order, and returns the selection
// with the account name and password the options gave.
//
// An argument is an option when it starts with '-'; only its second
// character counts, compared case-sensitively: i, u, s and e select an
// action (the last one wins), l and p take a value, anything else is
// ignored. A value is the text after the two option characters, or else the
// whole next argument, which is then consumed without being looked at as an
// option. An -l or -p that is the last argument and has no text of its own
// sets its field to null and ends the walk.
//
// `accountName` and `password` are the values before the walk; a field no
// option sets keeps its value.
CCommandOptions WalkOptions(int argc, char* const* argv, const char* accountName,
                            const char* password);
