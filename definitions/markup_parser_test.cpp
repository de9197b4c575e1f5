#include "definitions/markup_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

std::string ParseError(const std::string& text) {
    MarkupParser parser;
    EXPECT_FALSE(parser.Parse(text)) << text;
    EXPECT_EQ(parser.ElementCount(), 1);
    EXPECT_FALSE(parser.NextElement(""));
    return parser.ErrorText();
}

TEST(MarkupParserErrors, EachReachableMessage) {
    EXPECT_EQ(ParseError("no markup at all"), "Element tag not found");
    EXPECT_EQ(ParseError("<A>text"), "Element tag not found");
    EXPECT_EQ(ParseError("<"), "Abrupt end within tag");
    EXPECT_EQ(ParseError("<A"), "Abrupt end within tag");
    EXPECT_EQ(ParseError("<\"A\">"), "Tag starts with quote");
    EXPECT_EQ(ParseError("<A b=\"c\" "), "End of tag not found");
    EXPECT_EQ(ParseError("<A><!-- never closed </A>"), "End of tag not found");
    EXPECT_EQ(ParseError("<A></B>"), "End tag does not correspond to A");
    EXPECT_EQ(ParseError("<A></A"), "End tag not completed for element A");
    EXPECT_EQ(ParseError("<A></"), "Abrupt end within tag");
    EXPECT_EQ(ParseError("<A></ \"A\""), "End tag not completed for element A");
}

// An end tag cut off by the end of the text, here inside a quoted string,
// is no end tag; the scan never steps past the text.
TEST(MarkupParserErrors, EndTagThatNeverCloses) {
    EXPECT_EQ(ParseError("<NA><SW NAME=\"a\"><SCRIPT><!TA[x<y]]></SCRIPT<<AME=\""),
              "End tag not completed for element SCRIPT");
    EXPECT_EQ(ParseError("<R><A></A \""), "End tag not completed for element A");
    EXPECT_EQ(ParseError("<A></A "), "End tag not completed for element A");
    EXPECT_EQ(ParseError("<A></A \"x\""), "End tag not completed for element A");
}

TEST(MarkupParserErrors, UnclosedChildTakesTheParentsEndTag) {
    EXPECT_EQ(ParseError("<A><B></A>"), "End tag does not correspond to B");
}

TEST(MarkupParserErrors, EndTagNamesAreCaseSensitive) {
    EXPECT_EQ(ParseError("<A></a>"), "End tag does not correspond to A");
}

TEST(MarkupParserErrors, EmptyTextAndLeadingEndTagKeepTheOldMessage) {
    MarkupParser parser;
    EXPECT_FALSE(parser.Parse("<A>"));
    EXPECT_EQ(parser.ErrorText(), "Element tag not found");
    EXPECT_FALSE(parser.Parse(""));
    EXPECT_FALSE(parser.Parse("</A>"));
    EXPECT_EQ(parser.ErrorText(), "Element tag not found");
    EXPECT_TRUE(parser.Parse("<A/>"));
    EXPECT_EQ(parser.ErrorText(), "Element tag not found");
}

TEST(MarkupParserErrors, FailedParseLeavesAnEmptyTree) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A X=\"1\"><B/></A>"));
    ASSERT_TRUE(parser.NextChild("B"));
    EXPECT_FALSE(parser.Parse("<A><B></A>"));
    EXPECT_FALSE(parser.NextChild(""));
    EXPECT_FALSE(parser.EnterChild());
    EXPECT_FALSE(parser.LeaveElement());
    EXPECT_EQ(parser.ElementAttribute("X"), "");
    EXPECT_EQ(parser.ChildData(), "");
}

TEST(MarkupParserStructure, PositionsOfElements) {
    MarkupParser parser;
    const std::string text = "<A><B/>x<C></C></A>";
    ASSERT_TRUE(parser.Parse(text));
    ASSERT_EQ(parser.ElementCount(), 4);
    const MarkupElement& a = parser.Element(1);
    EXPECT_EQ(a.startTagOpen, 0);
    EXPECT_EQ(a.startTagClose, 2);
    EXPECT_EQ(a.endTagOpen, 15);
    EXPECT_EQ(a.endTagClose, 18);
    EXPECT_EQ(a.firstChild, 2);
    const MarkupElement& b = parser.Element(2);
    EXPECT_EQ(b.startTagClose, 6);
    EXPECT_EQ(b.endTagOpen, 5);  // its '/'
    EXPECT_EQ(b.endTagClose, 6);
    EXPECT_EQ(b.nextSibling, 3);
    EXPECT_EQ(b.parent, 1);
    const MarkupElement& c = parser.Element(3);
    EXPECT_EQ(c.startTagOpen, 8);
    EXPECT_EQ(c.endTagOpen, 11);
    EXPECT_EQ(c.endTagClose, 14);
    EXPECT_EQ(c.nextSibling, 0);
    EXPECT_EQ(parser.Element(0).firstChild, 1);
}

TEST(MarkupParserStructure, SkippedNodes) {
    MarkupParser parser;
    ASSERT_TRUE(
        parser.Parse("<?xml version=\"1.0\"?><!DOCTYPE NA><!-- top --><A><!-- <B> --><?pi <C> ?>"
                     "<![CDATA[<D>]]></A>"));
    ASSERT_TRUE(parser.NextElement("A"));
    EXPECT_FALSE(parser.NextChild(""));
    EXPECT_EQ(parser.Element(1).firstChild, 0);
}

TEST(MarkupParserStructure, DocumentEndingAtTheLastBracketParses) {
    MarkupParser parser;
    EXPECT_TRUE(parser.Parse("<A><B>x</B></A>"));
    EXPECT_EQ(parser.Element(1).endTagClose, 14);
    EXPECT_TRUE(parser.Parse("<A></A >  trailing text <B>"));
}

TEST(MarkupParserStructure, SecondTopElementIsIgnored) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A/><B/>"));
    EXPECT_EQ(parser.ElementCount(), 2);
    EXPECT_FALSE(parser.NextElement("B"));
    EXPECT_TRUE(parser.NextElement("A"));
}

TEST(MarkupParserStructure, TableGrowsPastItsFirstSize) {
    std::string text = "<A>";
    for (int i = 0; i < 5000; ++i) text += "<B/>";
    text += "</A>";
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse(text));
    EXPECT_EQ(parser.ElementCount(), 5002);
    int count = 0;
    while (parser.NextChild("B")) ++count;
    EXPECT_EQ(count, 5000);
}

TEST(MarkupParserStructure, DeepNestingNeverOverflowsTheStack) {
    constexpr int kLevels = 100000;
    std::string open, close;
    for (int i = 0; i < kLevels; ++i) {
        open += "<E>";
        close += "</E>";
    }
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse(open + "data" + close));
    EXPECT_EQ(parser.ElementCount(), kLevels + 1);
    for (int i = 2; i < kLevels; ++i) ASSERT_TRUE(parser.EnterChild());
    ASSERT_TRUE(parser.NextChild("E"));
    EXPECT_EQ(parser.ChildData(), "data");
    EXPECT_EQ(parser.Depth(), kLevels - 2);

    EXPECT_FALSE(parser.Parse(open + "data"));
    EXPECT_EQ(parser.ErrorText(), "Element tag not found");
    EXPECT_FALSE(parser.Parse(open + close.substr(4)));
}

TEST(MarkupParserStructure, TextEndsAtTheFirstNul) {
    MarkupParser parser;
    std::string text("<A/>\0<B>", 8);
    EXPECT_TRUE(parser.Parse(text));
    std::string cut("<A>\0</A>", 8);
    EXPECT_FALSE(parser.Parse(cut));
}

TEST(MarkupParserCursor, EmptySwFoundWithItsName) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<NA><SW NAME=\"Threat One\"/></NA>"));
    ASSERT_TRUE(parser.NextChild("SW"));
    EXPECT_EQ(parser.ChildAttribute("NAME"), "Threat One");
    EXPECT_EQ(parser.ChildData(), "");
    EXPECT_EQ(parser.Current(), 1);  // NextChild selected the top element first
}

TEST(MarkupParserCursor, NextChildSearchesForwardOnly) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A><B N=\"1\"/><C/><B N=\"2\"/><C N=\"last\"/></A>"));
    ASSERT_TRUE(parser.NextElement("A"));
    ASSERT_TRUE(parser.NextChild("B"));
    EXPECT_EQ(parser.ChildAttribute("N"), "1");
    ASSERT_TRUE(parser.NextChild("B"));
    EXPECT_EQ(parser.ChildAttribute("N"), "2");
    ASSERT_TRUE(parser.NextChild("C"));
    EXPECT_EQ(parser.ChildAttribute("N"), "last");
    EXPECT_FALSE(parser.NextChild("B"));
    EXPECT_EQ(parser.ChildAttribute("N"), "last");  // the failed search kept C
    EXPECT_FALSE(parser.NextChild(""));
}

TEST(MarkupParserCursor, EnterAndLeave) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A><B><C/><D/></B><E/></A>"));
    EXPECT_FALSE(parser.LeaveElement());  // nothing selected
    ASSERT_TRUE(parser.NextElement(""));
    EXPECT_FALSE(parser.LeaveElement());  // depth 0
    ASSERT_TRUE(parser.EnterChild());     // selects and enters the first child, B
    EXPECT_EQ(parser.ElementName(parser.Current()), "B");
    EXPECT_EQ(parser.Depth(), 1);
    ASSERT_TRUE(parser.NextChild("D"));
    ASSERT_TRUE(parser.EnterChild());   // D
    EXPECT_FALSE(parser.EnterChild());  // D has no child
    EXPECT_FALSE(parser.NextChild(""));
    ASSERT_TRUE(parser.LeaveElement());
    EXPECT_EQ(parser.ElementName(parser.CurrentChild()), "D");
    ASSERT_TRUE(parser.LeaveElement());
    EXPECT_EQ(parser.ElementName(parser.Current()), "A");
    EXPECT_EQ(parser.ElementName(parser.CurrentChild()), "B");
    ASSERT_TRUE(parser.NextChild(""));
    EXPECT_EQ(parser.ElementName(parser.CurrentChild()), "E");
}

TEST(MarkupParserCursor, SelectChildTakesOnlyChildrenOfCurrent) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<R><A><C/></A><B/></R>"));
    ASSERT_TRUE(parser.NextElement("R"));
    ASSERT_TRUE(parser.NextChild("B"));
    int32_t b = parser.CurrentChild();
    ASSERT_TRUE(parser.SelectChild(0));
    ASSERT_TRUE(parser.NextChild(""));
    EXPECT_EQ(parser.ElementName(parser.CurrentChild()), "A");
    int32_t a = parser.CurrentChild();
    EXPECT_FALSE(parser.SelectChild(a + 1));  // C, a grandchild
    EXPECT_FALSE(parser.SelectChild(99));
    EXPECT_EQ(parser.CurrentChild(), a);
    ASSERT_TRUE(parser.SelectChild(b));
    EXPECT_FALSE(parser.NextChild(""));
}

TEST(MarkupParserCursor, NextElementWalksSiblingsOfCurrent) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A><B/><C/><B/></A>"));
    EXPECT_FALSE(parser.NextElement("B"));  // B is no top element
    ASSERT_TRUE(parser.NextElement("A"));
    ASSERT_TRUE(parser.EnterChild());
    EXPECT_TRUE(parser.NextElement("B"));  // sibling of the current B: the second B
    EXPECT_EQ(parser.Current(), 4);
    EXPECT_FALSE(parser.NextElement(""));
    EXPECT_EQ(parser.Current(), 4);
}

TEST(MarkupParserAttributes, QuotingRules) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A plain=value single='v' quoted=\"v\" spaced = \"s p\"/>"));
    ASSERT_TRUE(parser.NextElement("A"));
    EXPECT_EQ(parser.ElementAttribute("plain"), "");
    EXPECT_EQ(parser.ElementAttribute("single"), "");
    EXPECT_EQ(parser.ElementAttribute("quoted"), "v");
    EXPECT_EQ(parser.ElementAttribute("spaced"), "s p");
    EXPECT_EQ(parser.ElementAttribute("QUOTED"), "");
    EXPECT_EQ(parser.ElementAttribute("missing"), "");
}

TEST(MarkupParserAttributes, LookupQuirks) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A A=\"self\" x=\"1\" x=\"2\" flag y=\"3\" z t \"5\" u=v w=\"4\"/>"));
    ASSERT_TRUE(parser.NextElement(""));
    EXPECT_EQ(parser.ElementAttribute("A"), "self");  // only the tag name itself is skipped
    EXPECT_EQ(parser.ElementAttribute("x"), "1");     // the first one wins
    EXPECT_EQ(parser.ElementAttribute("flag"), "");   // two tokens on stands "=", no string
    EXPECT_EQ(parser.ElementAttribute("z"), "5");     // the string two tokens on
    EXPECT_EQ(parser.ElementAttribute("u"), "");      // no later name is compared
}

// The one-pass read of several attributes gives for each what the read of
// that one alone gives, quirks included; one name's value is no other's name.
TEST(MarkupParserAttributes, SeveralInOneReadAsEachAlone) {
    MarkupParser parser;
    for (const char* text :
         {"<R><A A=\"self\" x=\"1\" x=\"2\" flag y=\"3\" z t \"5\" u=v w=\"4\"/></R>",
          "<R><A x=\"a>b\" flag=\"x\" y=\"&amp;1\">t</A></R>",
          "<R><A flag x=\"flag\" flag=\"2\" y=y \"3\"/></R>"}) {
        parser.Parse(text);
        ASSERT_TRUE(parser.NextChild("A")) << text;
        const char* names[] = {"A", "x", "flag", "y", "z", "u", "w", "missing", "self"};
        std::string values[9];
        parser.ChildAttributes({{names[0], &values[0]},
                                {names[1], &values[1]},
                                {names[2], &values[2]},
                                {names[3], &values[3]},
                                {names[4], &values[4]},
                                {names[5], &values[5]},
                                {names[6], &values[6]},
                                {names[7], &values[7]},
                                {names[8], &values[8]}});
        std::string pair[2] = {"stale", "stale"};
        parser.ChildAttributes({{names[2], &pair[0]}, {names[3], &pair[1]}});
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(values[i], parser.ChildAttribute(names[i])) << text << " " << names[i];
        EXPECT_EQ(pair[0], parser.ChildAttribute("flag")) << text;
        EXPECT_EQ(pair[1], parser.ChildAttribute("y")) << text;
    }
}

TEST(MarkupParserAttributes, BracketInsideQuotesEndsTheStartTag) {
    MarkupParser parser;
    const std::string text = "<A x=\"a>b\" y=\"1\">t</A>";
    ASSERT_TRUE(parser.Parse(text));
    EXPECT_EQ(parser.Element(1).startTagClose, static_cast<int32_t>(text.find('>')));
    ASSERT_TRUE(parser.NextElement("A"));
    EXPECT_EQ(parser.ElementAttribute("x"), "a>b");  // tokens still read the quotes whole
    EXPECT_EQ(parser.ElementAttribute("y"), "1");
    parser.Parse("<R>" + text + "</R>");
    ASSERT_TRUE(parser.NextChild("A"));
    EXPECT_EQ(parser.ChildData(), "b\" y=\"1\">t");
}

TEST(MarkupParserAttributes, Entities) {
    MarkupParser parser;
    ASSERT_TRUE(parser.Parse("<A v=\"&lt;&amp;&gt;&apos;&quot;&foo;&#65;&amp\"/>"));
    ASSERT_TRUE(parser.NextElement("A"));
    EXPECT_EQ(parser.ElementAttribute("v"), "<&>'\"&foo;&#65;&amp");
}

TEST(MarkupParserData, PlainAndEntityData) {
    MarkupParser parser;
    ASSERT_TRUE(
        parser.Parse("<R><A> &amp; </A><B></B><C/><D><E/>text</D><F>\r\n a\tb \r\n</F></R>"));
    ASSERT_TRUE(parser.NextChild("A"));
    EXPECT_EQ(parser.ChildData(), " & ");
    ASSERT_TRUE(parser.NextChild("B"));
    EXPECT_EQ(parser.ChildData(), "");
    ASSERT_TRUE(parser.NextChild("C"));
    EXPECT_EQ(parser.ChildData(), "");
    ASSERT_TRUE(parser.NextChild("D"));
    EXPECT_EQ(parser.ChildData(), "");  // has a child element
    ASSERT_TRUE(parser.NextChild("F"));
    EXPECT_EQ(parser.ChildData(), "\r\n a\tb \r\n");
}

TEST(MarkupParserData, CdataIsRaw) {
    MarkupParser parser;
    ASSERT_TRUE(
        parser.Parse("<R><A>  <![CDATA[if (a < b && c) x = \"&amp;\";]]>  </A><B><![CDATA[]]></B>"
                     "<C>x<![CDATA[y]]></C></R>"));
    ASSERT_TRUE(parser.NextChild("A"));
    EXPECT_EQ(parser.ChildData(), "if (a < b && c) x = \"&amp;\";");
    ASSERT_TRUE(parser.NextChild("B"));
    EXPECT_EQ(parser.ChildData(), "");
    ASSERT_TRUE(parser.NextChild("C"));  // text before the section: read as plain data
    EXPECT_EQ(parser.ChildData(), "x<![CDATA[y]]>");
}

TEST(MarkupParserMultiByte, LeadBytesTakeTheirTrailByte) {
    // In a double-byte code page "\x81<" is one character, not a '<'.
    const std::string text = "<R><A v=\"\x81\"\">\x81<</A></R>";
    MarkupParser parser;
    parser.SetLeadBytes("\x81\x82");
    ASSERT_TRUE(parser.Parse(text));
    ASSERT_TRUE(parser.NextChild("A"));
    EXPECT_EQ(parser.ChildAttribute("v"), "\x81\"");
    EXPECT_EQ(parser.ChildData(), "\x81<");

    MarkupParser singleByte;
    EXPECT_FALSE(singleByte.Parse(text));

    // A lead byte at the very end never steps past the text.
    EXPECT_FALSE(parser.Parse("<A>\x81"));
    EXPECT_FALSE(parser.Parse("<A\x81"));
}

}  // namespace
}  // namespace tolvane
