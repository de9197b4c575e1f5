#include "app/views/scripted_views.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

TEST(ScriptedViews, AnUnansweredBoxTakesItsOwnDefaultButton) {
    ScriptedViews views;
    const Prompt question{"Tolvane", "Remove?", PromptButtons::YesNo, PromptIcon::Question, 1};
    EXPECT_EQ(views.Ask(question), PromptAnswer::No);
    EXPECT_EQ(views.lines.back(),
              "[message] Tolvane: Remove? [Yes/No] -> no (no answer left, default button)");
    views.script.answers = {"yes"};
    EXPECT_EQ(views.Ask(question), PromptAnswer::Yes);
    views.script.fallback = ScriptedViews::Fallback::Yes;
    EXPECT_EQ(views.Ask(question), PromptAnswer::Yes);
    views.script.fallback = ScriptedViews::Fallback::Default;
    EXPECT_EQ(views.Ask({"Tolvane", "Remove?", PromptButtons::YesNo}), PromptAnswer::Yes);
}

}  // namespace
}  // namespace tolvane
