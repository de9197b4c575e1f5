#include "app/views/check_list.h"

#include <gtest/gtest.h>

#include "app/views/ignore_list_dialog.h"
#include "app/views/results_list.h"

namespace tolvane {
namespace {

ListRow Row(const std::string& vendor, ObjectType type) {
    ListRow row;
    row.vendor = vendor;
    row.type = ObjectTypeText(type);
    row.object = vendor + "-object";
    return row;
}

std::vector<std::string> Texts(const std::vector<ListMenuItem>& items) {
    std::vector<std::string> texts;
    for (const ListMenuItem& item : items) texts.push_back(item.isSeparator ? "-" : item.text);
    return texts;
}

std::vector<bool> Checks(const CheckListModel& list) {
    std::vector<bool> checks;
    for (const ListRow& row : list.rows()) checks.push_back(row.checked);
    return checks;
}

TEST(ResultsList, ColumnsAndTypeNames) {
    std::vector<std::string> headers;
    for (const ListColumn& column : CheckListColumns())
        headers.push_back(column.header + std::string(":") + std::to_string(column.width));
    EXPECT_EQ(headers, (std::vector<std::string>{"Vendor:150", "Type:75", "Category:75",
                                                 "Object:125", "Danger:75"}));
    EXPECT_STREQ(ObjectTypeText(ObjectType::File), "File");
    EXPECT_STREQ(ObjectTypeText(ObjectType::Folder), "Folder");
    EXPECT_STREQ(ObjectTypeText(ObjectType::RegistryKey), "Registry Key");
    EXPECT_STREQ(ObjectTypeText(ObjectType::RegistryValue), "Registry Value");
    EXPECT_STREQ(ObjectTypeText(ObjectType{5}), "");
    EXPECT_STREQ(ObjectTypeText(ObjectType::HostFileItem), "Host File Item");
    EXPECT_STREQ(ObjectTypeText(ObjectType{0}), "");
}

TEST(ResultsList, ContextMenuRewritesVendorAndTypeItems) {
    ResultsListModel list;
    list.Append(Row("A", ObjectType::RegistryKey));
    list.Append(Row("B", ObjectType::File));

    EXPECT_TRUE(list.OpenContextMenu(false, std::nullopt).empty());  // empty space

    auto items = list.OpenContextMenu(true, 0);
    EXPECT_EQ(Texts(items),
              (std::vector<std::string>{
                  "Select all objects", "Deselect all objects", "Inverse selection", "-",
                  "Add selection to ignore list", "Object details", "-", "Select all \"A\" objects",
                  "Deselect all \"A\" objects", "-", "Select all \"Registry Key\" objects",
                  "Deselect all \"Registry Key\" objects"}));

    // Clicked on a row but nothing highlighted: the four items say so and do
    // nothing.
    items = list.OpenContextMenu(true, std::nullopt);
    EXPECT_EQ(Texts(items)[7], kNoObjectSelected);
    EXPECT_EQ(Texts(items)[8], kNoObjectSelected);
    EXPECT_EQ(Texts(items)[10], kNoObjectSelected);
    EXPECT_EQ(Texts(items)[11], kNoObjectSelected);
    EXPECT_TRUE(list.RunSelectionCommand(ListMenuCommand::DeselectVendor));
    EXPECT_EQ(Checks(list), (std::vector<bool>{true, true}));
}

TEST(ResultsList, SelectionByVendorTypeAndAll) {
    ResultsListModel list;
    list.Append(Row("A", ObjectType::File));
    list.Append(Row("B", ObjectType::RegistryKey));
    list.Append(Row("A", ObjectType::RegistryKey));
    list.Append(Row("a", ObjectType::File));  // another vendor: texts compare with case
    EXPECT_EQ(list.CheckedCount(), 4u);

    list.OpenContextMenu(true, 0);
    list.RunSelectionCommand(ListMenuCommand::DeselectVendor);
    EXPECT_EQ(Checks(list), (std::vector<bool>{false, true, false, true}));
    list.RunSelectionCommand(ListMenuCommand::SelectVendor);
    EXPECT_EQ(Checks(list), (std::vector<bool>{true, true, true, true}));

    list.OpenContextMenu(true, 1);
    list.RunSelectionCommand(ListMenuCommand::DeselectType);
    EXPECT_EQ(Checks(list), (std::vector<bool>{true, false, false, true}));
    list.RunSelectionCommand(ListMenuCommand::InverseSelection);
    EXPECT_EQ(Checks(list), (std::vector<bool>{false, true, true, false}));
    list.RunSelectionCommand(ListMenuCommand::SelectAll);
    EXPECT_EQ(list.CheckedCount(), 4u);
    list.RunSelectionCommand(ListMenuCommand::DeselectAll);
    EXPECT_EQ(list.CheckedCount(), 0u);
    EXPECT_FALSE(list.RunSelectionCommand(ListMenuCommand::AddSelectionToIgnoreList));

    // The remembered row is a position: after the rows go, it names nothing.
    list.Clear();
    EXPECT_EQ(list.RememberedRowData(), nullptr);
    list.RunSelectionCommand(ListMenuCommand::SelectType);  // no crash, no rows
}

class RecordingObserver : public CheckListObserver {
  public:
    void OnRowsReset() override { events.push_back("reset"); }
    void OnRowInserted(size_t row) override { events.push_back("insert " + std::to_string(row)); }
    void OnRowRemoved(size_t row) override { events.push_back("remove " + std::to_string(row)); }
    void OnRowChanged(size_t row) override { events.push_back("change " + std::to_string(row)); }
    std::vector<std::string> events;
};

TEST(ResultsList, ObserverSeesOnlyRealChanges) {
    ResultsListModel list;
    RecordingObserver observer;
    list.SetObserver(&observer);
    list.Append(Row("A", ObjectType::File));
    list.Append(Row("B", ObjectType::File));
    list.SetChecked(0, true);  // already checked: no event
    list.SetChecked(1, false);
    list.RemoveAt(0);
    list.RemoveAt(7);
    list.Clear();
    EXPECT_EQ(observer.events,
              (std::vector<std::string>{"insert 0", "insert 1", "change 1", "remove 0", "reset"}));
}

TEST(ResultsList, RemovingManyRowsKeepsTheOthersInOrder) {
    ResultsListModel list;
    RecordingObserver observer;
    list.SetObserver(&observer);
    for (const char* vendor : {"A", "B", "C", "D", "E"}) list.Append(Row(vendor, ObjectType::File));
    observer.events.clear();
    list.RemoveRows({0, 2, 3, 9});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.rows()[0].vendor, "B");
    EXPECT_EQ(list.rows()[1].vendor, "E");
    list.RemoveRows({1});
    list.RemoveRows({});
    list.RemoveRows({4});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.rows()[0].vendor, "B");
    EXPECT_EQ(observer.events, (std::vector<std::string>{"reset", "remove 1"}));
}

}  // namespace
}  // namespace tolvane
