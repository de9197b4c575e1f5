#include "startup/task_reader.h"

#include <pugixml.hpp>

#include "base/codepage.h"

namespace tolvane {
namespace {

bool IsTrue(const char* text) {
    std::string value = text;
    return value != "false" && value != "0";
}

}  // namespace

bool ReadTaskDefinition(std::string_view bytes, TaskDefinition* task, std::string* error) {
    *task = {};
    if (bytes.size() > kTaskFileLimit) return *error = "the task file is larger than 1 MB", false;
    pugi::xml_document document;
    pugi::xml_parse_result parsed =
        document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed)
        return *error = std::string("the task's XML is damaged: ") + parsed.description(), false;
    pugi::xml_node root = document.child("Task");
    if (!root) return *error = "the file holds no Task element", false;
    pugi::xml_node enabled = root.child("Settings").child("Enabled");
    if (enabled) task->enabled = IsTrue(enabled.text().get());
    for (pugi::xml_node trigger : root.child("Triggers").children()) {
        if (task->triggers.size() >= 64) break;
        task->triggers.push_back(trigger.name());
    }
    for (pugi::xml_node exec : root.child("Actions").children("Exec")) {
        if (task->actions.size() >= 64) break;
        // pugixml reads UTF-16 or UTF-8 by the byte-order mark and gives UTF-8.
        task->actions.push_back({Utf8ToCp1252(exec.child("Command").text().get()),
                                 Utf8ToCp1252(exec.child("Arguments").text().get())});
    }
    return true;
}

}  // namespace tolvane
