// Per-row cost of the results list with many recognised objects: listing
// them, the selection commands, adding them to the ignore list (and asking
// it per object, as a scan does) and removing them, at 1k, 10k and 100k
// rows. The cost per row at 100k against 1k is printed: it stays below 2x
// when nothing is quadratic.
//
// The objects are browser settings recognised by their data, whose removal
// changes nothing on the machine, so that the list's own work is measured.
//
// rows_bench [ROWS...]   (default 1000 10000 100000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/removal_connection.h"
#include "app/views/results_list.h"
#include "app/views/scripted_views.h"
#include "definitions/container.h"
#include "definitions/threat_database.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "scan/detected_object.h"
#include "scan/ignore_list.h"
#include "settings/settings_store.h"
#include "testing/temp_prefix.h"

namespace {

using namespace tolvane;
using Clock = std::chrono::steady_clock;

constexpr int kVendors = 20;

std::string Definitions() {
    std::string text = "<NA VERSION=\"1\" DATE=\"2026-12-01\">\n";
    for (int v = 0; v < kVendors; ++v) {
        text += "<SW NAME=\"Vendor " + std::to_string(v) +
                "\"><CATEGORY NAME=\"Hijacker\"/><REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\"
                "Internet Explorer\\Main\\Start Page:@:v" +
                std::to_string(v) + ".example\"/></REGVALUES><DANGER NAME=\"High\"/></SW>\n";
    }
    return text + "</NA>\n";
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Rig {
    testing::TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    ScriptedViews views;
    TaskQueueUiThread ui;
    std::unique_ptr<Application> app;
    std::deque<DetectedObject> objects;

    Rig() {
        std::string stored;
        EncodeContainer(Definitions(), &stored);
        prefix.WriteFile("C:\\Program Files\\Tolvane\\database.db", stored);
        ApplicationOptions options;
        options.commandLine = "\"C:\\Program Files\\Tolvane\\Tolvane.exe\"";
        app = std::make_unique<Application>(
            *machine, ApplicationViews{{views, views, views, views, views, ui}, views}, options);
        if (app->Start() != StartResult::Running) {
            std::fprintf(stderr, "rows_bench: the application did not start\n");
            std::exit(1);
        }
        views.script.fallback = ScriptedViews::Fallback::Yes;
    }

    // Fills the results list with rows of fresh objects, every row checked.
    void Fill(size_t rows) {
        ResultsListModel& list = app->controller().results();
        const auto& definitions = app->database().definitions();
        for (size_t i = 0; i < rows; ++i) {
            ThreatDefinition* definition = definitions[i % definitions.size()].get();
            DetectedObject& object = objects.emplace_back();
            object.definition = definition;
            object.type = ObjectType::RegistryValue;
            object.objectText = "Software\\Microsoft\\Internet Explorer\\Main\\Start Page:@:row" +
                                std::to_string(i);
            list.AddResultRow(MakeResultRow(definition, object.objectText, object.type, &object));
        }
    }
};

struct Costs {
    double list = 0, select = 0, ignore = 0, remove = 0;  // microseconds per row
    // The reference for select: flipping the check box of every row of a
    // plain vector of as many rows as often as the commands pass over them,
    // which costs more per row once the rows outgrow the processor's caches.
    double touch = 0;
};

Costs Measure(size_t rows) {
    Costs costs;
    const double perRow = 1e6 / static_cast<double>(rows);
    {
        Rig rig;
        ResultsListModel& list = rig.app->controller().results();
        auto start = Clock::now();
        rig.Fill(rows);
        costs.list = Seconds(start) * perRow;

        start = Clock::now();
        list.RunSelectionCommand(ListMenuCommand::DeselectAll);
        list.RunSelectionCommand(ListMenuCommand::SelectAll);
        list.RunSelectionCommand(ListMenuCommand::InverseSelection);
        list.OpenContextMenu(true, size_t{3});
        list.RunSelectionCommand(ListMenuCommand::SelectVendor);
        list.RunSelectionCommand(ListMenuCommand::DeselectVendor);
        list.RunSelectionCommand(ListMenuCommand::SelectType);
        list.RunSelectionCommand(ListMenuCommand::InverseSelection);
        costs.select = Seconds(start) * perRow;

        std::vector<ListRow> plain = list.rows();
        start = Clock::now();
        for (int pass = 0; pass < 8; ++pass)
            for (ListRow& row : plain) row.checked = !row.checked;
        costs.touch = Seconds(start) * perRow;
        volatile bool sink = plain[rows / 2].checked;
        (void)sink;

        // Half the rows checked go to the ignore list; then the scan's
        // question for every object.
        for (size_t i = 0; i < rows; ++i) list.SetChecked(i, i % 2 == 0);
        start = Clock::now();
        rig.app->controller().AddCheckedToIgnoreList();
        size_t ignored = 0;
        for (const DetectedObject& object : rig.objects)
            ignored += rig.app->ignoreList().IsIgnored(object.type, object.objectText);
        costs.ignore = Seconds(start) * perRow;
        if (ignored != (rows + 1) / 2 || list.size() != rows / 2) {
            std::fprintf(stderr, "rows_bench: %zu ignored, %zu rows left\n", ignored, list.size());
            std::exit(1);
        }
    }
    {
        Rig rig;
        rig.Fill(rows);
        ResultsListModel& list = rig.app->controller().results();
        ResultRows resultRows(list);
        ViewsRemovalView view(rig.views, rig.views, rig.views, rig.views);
        ObjectRemover remover(*rig.machine);
        SettingsStore settings(rig.machine->registry());
        RemovalFlow flow(*rig.machine, settings, remover, view);
        // The backup question is answered No, the confirmation Yes.
        rig.views.script.answers = {"no", "yes"};
        auto start = Clock::now();
        flow.RunRemoval(resultRows, false);
        costs.remove = Seconds(start) * perRow;
        if (list.size() != 0) {
            std::fprintf(stderr, "rows_bench: %zu rows left after removal\n", list.size());
            std::exit(1);
        }
    }
    return costs;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {1000, 10000, 100000};
    std::map<size_t, Costs> results;
    std::printf("%8s %12s %12s %12s %12s %12s %14s   (microseconds per row)\n", "rows", "list",
                "select", "ignore", "remove", "touch", "select/touch");
    // The best of three runs per size: the machine's other work only adds.
    for (size_t rows : sizes) {
        Costs c = Measure(rows);
        for (int run = 1; run < 3; ++run) {
            Costs again = Measure(rows);
            c.list = std::min(c.list, again.list);
            c.select = std::min(c.select, again.select);
            c.ignore = std::min(c.ignore, again.ignore);
            c.remove = std::min(c.remove, again.remove);
            c.touch = std::min(c.touch, again.touch);
        }
        results[rows] = c;
        std::printf("%8zu %12.3f %12.3f %12.3f %12.3f %12.3f %14.2f\n", rows, c.list, c.select,
                    c.ignore, c.remove, c.touch, c.select / c.touch);
    }
    const Costs& first = results.begin()->second;
    const Costs& last = results.rbegin()->second;
    std::printf(
        "%8s %11.2fx %11.2fx %11.2fx %11.2fx %11.2fx %13.2fx   (largest against smallest; goal "
        "under 2x)\n",
        "ratio", last.list / first.list, last.select / first.select, last.ignore / first.ignore,
        last.remove / first.remove, last.touch / first.touch,
        (last.select / last.touch) / (first.select / first.touch));
    return 0;
}
