// The headless front end's usage text; each command's help comes from the
// command table.
#include <ostream>
#include <string>
#include <vector>

#include "ui/headless/headless.h"
#include "ui/headless/session.h"

namespace tolvane {

const std::vector<std::string>& OptionsWithValue() {
    static const std::vector<std::string> options = {
        "--machine",         "--answers", "--folders", "--save-as",     "--open", "--mount",
        "--launcher-status", "--user",    "--drive",   "--definitions", "--clamd"};
    return options;
}

void PrintUsage(std::ostream& out) {
    out << "usage: tolvane [--machine PREFIX] [--user NAME] [--drive D=FOLDER]...\n"
           "               [--definitions FILE] [-s] [-b]\n"
           "       tolvane --headless [--machine PREFIX] [--user NAME] [--drive D=FOLDER]...\n"
           "               [--definitions FILE] [--clamd SOCKET] [-s] [-b] [--json]\n"
           "               [--yes | --no | --answers LIST|FILE] [--folders \"A;B\"]\n"
           "               [--save-as FILE] [--open FILE] [COMMAND ARGS]...\n"
           "       tolvane --headless --all-machines [--mount FOLDER]... [--json] scan MODE\n"
           "       tolvane --list-machines [--mount FOLDER]... [--json]\n"
           "       tolvane --headless [--machine M | --all-machines] [--json] startup [--all]\n"
           "               the machine's start-up entries with their flags (--all: Wine's own\n"
           "               too); exit status 0 when none is flagged, 1 when one is\n"
           "\n"
           "Without --headless the desktop window opens on the machine (a display is needed).\n"
           "With --headless it runs Tolvane's start-up and main window without a display.\n"
           "Commands run in order in one program run; with none, only start-up and -s or -b\n"
           "run (and a scan they start is printed).\n"
           "\n"
           "  --machine PREFIX  the Wine prefix (default: $WINEPREFIX, else ~/.wine), or the\n"
           "                    folder of a Windows installation on a mounted disk\n"
           "  --user NAME       on a Windows installation: the profile (folder name or SID)\n"
           "                    that is HKEY_CURRENT_USER (default: the only one, else the\n"
           "                    one used last)\n"
           "  --drive D=FOLDER  on a Windows installation: drive D: is FOLDER (C: is the\n"
           "                    installation; no other drive exists unless given)\n"
           "  --definitions FILE  your own definitions database (made by `tolvane-db pack`),\n"
           "                    used instead of the machine's and the shipped database.db\n"
           "  --clamd SOCKET    the Unix socket of your own clamd, which then checks each\n"
           "                    file the content check reads (default: ClamdSocket= in this\n"
           "                    computer's settings, else LocalSocket of\n"
           "                    /etc/clamav/clamd.conf)\n"
           "  -s, -b            the Run and RunOnce switches: start-up scan, start-up deletions\n"
           "  --json            one JSON document at the end: rows, counters, logPath,\n"
           "                    logHostPath, stopped, user, notes, messages, output (a row's\n"
           "                    kind: file, folder, registry-key, registry-value, host, or\n"
           "                    for a running program process or module); when\n"
           "                    start-up fails: rows, messages, output and failure\n"
           "  --yes, --no       the answer of every question (message boxes with more than one\n"
           "                    button, dialogs) that the --answers list does not give\n"
           "  --answers LIST    answers in order (yes,no,ok,cancel,retry,...) or a file of them\n"
           "                    (one a line); with none left a box takes its default button.\n"
           "                    Answers are taken by message boxes with more than one button\n"
           "                    (each answer one of its own buttons: ok is refused on a Yes/No\n"
           "                    box), a save dialog's replace question (yes/no) and the\n"
           "                    settings windows, the folder chooser and the advanced scan's\n"
           "                    questions (ok/cancel); a box with OK only takes none. An\n"
           "                    answer a box does not offer stops the run (exit status 2)\n"
           "                    with an error naming the box; from there every box takes\n"
           "                    Cancel (else No), so nothing more is changed.\n"
           "                    escape is the Escape key: it does nothing on a Yes/No box.\n"
           "                    A save dialog replaces an existing file only after a yes to\n"
           "                    its replace question (or --yes), and refuses a path whose\n"
           "                    folder does not exist; it then takes the next --save-as.\n"
           "  --folders \"A;B\"   what the folder chooser checks (Windows paths, exact case)\n"
           "  --save-as FILE    the file a save dialog takes (repeatable): a Windows path of\n"
           "                    the machine, or a Linux path. A backup archive outside the\n"
           "                    machine is written with the running user's rights, 0600; a\n"
           "                    backup named so that cannot be made stops the removal\n"
           "  --open FILE       the file an open dialog takes (repeatable; paths as --save-as)\n"
           "  --list-machines   prints this user's Windows machines, one a line: path, kind,\n"
           "                    where it was found (and why a damaged one is damaged). Looked\n"
           "                    for: $WINEPREFIX, ~/.wine, winetricks, Steam's Proton prefixes\n"
           "                    (every library of libraryfolders.vdf), Lutris, Bottles,\n"
           "                    PlayOnLinux, Heroic, Windows installations on NTFS mounts\n"
           "  --all-machines    the scan runs on each of those machines in turn: a header line\n"
           "                    per machine, its rows, a total (--json: a section per machine)\n"
           "  --mount FOLDER    a mounted Windows installation to list besides the NTFS mounts;\n"
           "                    --all-machines scans only the installations given so\n"
           "  --launcher-status FILE  where the prefix's Tolvane.exe waits for this run's end\n"
           "\n"
           "Run as root on a machine another user owns, Tolvane runs as that user (root's\n"
           "rights are given up before the machine is opened); on a machine root owns it\n"
           "stays root and changes stay inside the machine's folder. A scan says which.\n"
           "\n"
           "The machine's own database.db and script.db are used only when they are the\n"
           "shipped ones, or (database.db) an update of ours whose signed description is kept\n"
           "beside it and that is not older than the shipped one; otherwise the shipped ones\n"
           "are used and the scan's notes say why. The update server is set in this\n"
           "computer's settings ($XDG_CONFIG_HOME/tolvane/settings.conf, else\n"
           "~/.config/tolvane/settings.conf, else /etc/tolvane/settings.conf:\n"
           "UpdateServer=https://...), never by the machine.\n"
           "\n"
           "Exit status of a run with a scan (as virus scanners do): 0 when nothing was\n"
           "listed, 1 when something was listed, 2 on an error (bad usage, a machine that\n"
           "cannot be opened, a start-up that failed). Other runs: 0 when every command ran,\n"
           "1 when start-up or a command failed, 2 on bad usage.\n"
           "\n"
           "Commands (COMMAND --help for one):\n";
    for (const HeadlessCommand& command : HeadlessCommands()) out << "  " << command.help;
}

}  // namespace tolvane
