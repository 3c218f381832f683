#include "OptionWalk.h"

#include <stddef.h>

CCommandOptions WalkOptions(int argc, char* const* argv, const char* accountName,
                            const char* password) {
    CCommandOptions options = {ECommandAction::RunAsService, accountName, password};

    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == NULL || argument[0] != '-')
            continue;

        // For a lone "-" this is the terminating NUL, which matches nothing.
        const char** value = NULL;
        switch (argument[1]) {
        case 'i':
            options.m_action = ECommandAction::Install;
            break;
        case 'u':
            options.m_action = ECommandAction::Uninstall;
            break;
        case 's':
            options.m_action = ECommandAction::StartInstalled;
            break;
        case 'e':
            options.m_action = ECommandAction::StopInstalled;
            break;
        case 'l':
            value = &options.m_accountName;
            break;
        case 'p':
            value = &options.m_password;
            break;
        default:
            break;
        }
        if (value == NULL)
            continue;

        if (argument[2] != '\0') {
            *value = argument + 2;
        } else if (i + 1 < argc) {
            *value = argv[++i];
        } else {
            *value = NULL;
            break;
        }
    }
    return options;
}
