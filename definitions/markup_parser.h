// MarkupParser: reads a definitions or script document (a small XML-like
// markup) once into a flat table of element positions, then walks the
// element tree with a cursor. Read-only: names, attributes and data are read
// from the text on request.
//
// Rules of the markup: names compare case-sensitively, byte for byte;
// attribute values are in double quotes (an unquoted or single-quoted value
// reads as empty); the entities &lt; &amp; &gt; &apos; &quot; are decoded;
// comments, processing instructions, CDATA sections and declarations are
// skipped as nodes; the first error ends the parse. Text between elements is
// only read as the data of an element without child elements.
//
// Parsing is iterative: nesting depth is bounded by memory only, never by
// the stack.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane {

// One element: positions (byte offsets into the text) and tree links
// (indices into the table, 0 for none).
struct MarkupElement {
    int32_t startTagOpen = 0;   // the '<' of the start tag
    int32_t startTagClose = 0;  // the '>' of the start tag
    int32_t endTagOpen = 0;     // the '<' of the end tag; for an empty element its '/'
    int32_t endTagClose = 0;    // the '>' of the end tag; for an empty element = startTagClose
    int32_t parent = 0;
    int32_t firstChild = 0;
    int32_t nextSibling = 0;
    // The name token, kept so that a walk over the tree never reads the tag
    // again to compare names or to find where the attributes start.
    int32_t nameLeft = 0;
    int32_t nameRight = 0;
};

class MarkupParser {
  public:
    MarkupParser();
    MarkupParser(const MarkupParser&) = delete;
    MarkupParser& operator=(const MarkupParser&) = delete;

    // Marks the lead bytes of a double-byte code page: the tokenizer then
    // steps over a lead byte and its trail byte together. The default is the
    // single-byte code page 1252 (no lead bytes).
    void SetLeadBytes(std::string_view leadBytes);

    // Replaces the text and rebuilds the table; resets the cursor. False on
    // any error (the tree is then empty and ErrorText() says why, except for
    // a document whose first markup is an end tag). Text past the first NUL
    // byte is not part of the document.
    bool Parse(std::string text);

    // Cursor. An empty name means any element.
    bool NextElement(std::string_view name);  // next element on the cursor's level
    bool NextChild(std::string_view name);    // next child of the current element
    bool EnterChild();                        // the selected child becomes current
    bool LeaveElement();                      // back to the parent; the left element is selected
    // Selects a child of the current element by its index (as CurrentChild()
    // gave it), or with 0 goes back to before the first child, so that one
    // pass over the children can be followed by reading the ones it found.
    // False, changing nothing, for an index that is not such a child.
    bool SelectChild(int32_t index);
    // How many children of the current element NextChild(name) would give
    // from its first on (for sizing a list before reading them).
    int32_t ChildCount(std::string_view name) const;

    // Reads (empty string when absent or nothing is selected; never fail).
    std::string ElementAttribute(std::string_view name) const;  // of the current element
    std::string ChildAttribute(std::string_view name) const;    // of the selected child
    std::string ChildData() const;                              // data of the selected child
    // Several attributes of the selected child from one reading of its tag:
    // each string is set to what ChildAttribute(name) gives.
    void ChildAttributes(
        std::initializer_list<std::pair<std::string_view, std::string*>> wanted) const;
    // The same for any element of the table (an index Element() takes), as
    // views (values[i] for names[i]), for readers that walk the table
    // themselves: at most four names, a later one reads as empty. A view shows the text itself, or,
    // for a value that holds an entity, its decoding in *decoded, which the
    // call resets when it decodes: such views last until decoded changes.
    void AttributeViews(int32_t index, std::span<const std::string_view> names,
                        std::string_view* values, std::string* decoded) const;

    // The message of the latest failed parse; a later parse does not clear it.
    const std::string& ErrorText() const { return errorText_; }

    // Inspection (tests, tools).
    const std::string& Text() const { return text_; }
    // Entry 0 is the document (its firstChild is the top element).
    const MarkupElement& Element(int32_t index) const { return elements_[index]; }
    int32_t ElementCount() const { return nextFree_; }  // entries in use, entry 0 included
    int32_t Current() const { return current_; }
    int32_t CurrentChild() const { return currentChild_; }
    int32_t Depth() const { return depth_; }
    // The element's name (the first token after its '<').
    std::string_view ElementName(int32_t index) const;

  private:
    struct Token {
        int32_t left = 0;
        int32_t right = 0;  // one past the last character
        bool isString = false;
    };

    // What a '<' opens: an element, the parent's end tag, or markup that is
    // skipped (a comment, processing instruction, CDATA section, declaration).
    enum class Markup { Failed, EndTag, Skipped, Element };

    bool ReadToken(int32_t from, Token* token, int32_t* next) const;
    inline int32_t Find(int32_t from, char wanted) const;  // defined and used in the .cpp only
    bool FindChar(int32_t* pos, char wanted) const;
    bool FindMarker(int32_t from, std::string_view marker, int32_t* pos) const;
    int32_t Step(int32_t pos) const;
    Markup ReadMarkup(int32_t open, Token* name, int32_t* close);
    int32_t OpenElement(int32_t parent, bool* empty);
    bool CloseElement(int32_t index);
    int32_t Fail(std::string message);
    bool HasFreeEntry();
    std::string AttributeOf(int32_t index, std::string_view name) const;
    // The names an attribute reading looks for, and where it found their
    // values (the quoted strings' insides).
    static constexpr size_t kMostWanted = 4;
    using WantedNames = std::span<const std::string_view>;
    struct FoundValues {
        // Where each value starts and ends; read only for the names found.
        std::array<int32_t, kMostWanted> left;
        std::array<int32_t, kMostWanted> right;
        uint32_t set = 0;     // bit i: names[i] has a value
        uint32_t entity = 0;  // bit i: that value holds an '&'
        void Add(size_t i, int32_t from, int32_t to, bool hasEntity) {
            left[i] = from;
            right[i] = to;
            set |= 1u << i;
            entity |= static_cast<uint32_t>(hasEntity) << i;
        }
        bool Has(size_t i) const { return set >> i & 1; }
    };
    bool PlainAttributes(int32_t pos, WantedNames names, FoundValues* found) const;
    void FindAttributes(int32_t index, WantedNames names, FoundValues* found) const;
    void AttributesOf(
        int32_t index,
        std::initializer_list<std::pair<std::string_view, std::string*>> wanted) const;
    std::string Decode(int32_t from, int32_t to) const;
    void DecodeInto(int32_t from, int32_t to, std::string* out) const;
    bool SameName(int32_t index, std::string_view name) const;
    bool ElementIsEmpty(int32_t index) const;

    std::string text_;
    int32_t end_ = 0;  // the document's end: its first NUL or its length
    // The element table: plain records in one block that grows by half
    // (realloc, which can move a large block without copying it).
    struct ElementTable {
        MarkupElement* data = nullptr;
        size_t capacity = 0;
        ElementTable() = default;
        ElementTable(const ElementTable&) = delete;
        ElementTable& operator=(const ElementTable&) = delete;
        ~ElementTable();
        bool Reserve(size_t count);  // false when memory runs out
        MarkupElement& operator[](size_t index) { return data[index]; }
        const MarkupElement& operator[](size_t index) const { return data[index]; }
    };
    ElementTable elements_;
    int32_t nextFree_ = 1;
    int32_t current_ = 0;
    int32_t currentChild_ = 0;
    int32_t depth_ = 0;
    std::string errorText_;
    std::array<bool, 256> leadByte_{};
    bool hasLeadBytes_ = false;
};

}  // namespace tolvane
