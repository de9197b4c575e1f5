#include "definitions/markup_parser.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tolvane {
namespace {

// Character classes of the tokenizer: whitespace (space, tab, line feed,
// carriage return) and the delimiters "<>=\\/?!".
enum : uint8_t { kPlain = 0, kSpace = 1, kDelimiter = 2 };
constexpr std::array<uint8_t, 256> MakeClasses() {
    std::array<uint8_t, 256> classes{};
    for (char c : {' ', '\t', '\n', '\r'}) classes[static_cast<unsigned char>(c)] = kSpace;
    for (char c : {'<', '>', '=', '\\', '/', '?', '!'})
        classes[static_cast<unsigned char>(c)] = kDelimiter;
    return classes;
}
constexpr std::array<uint8_t, 256> kClasses = MakeClasses();

uint8_t ClassOf(char c) {
    return kClasses[static_cast<unsigned char>(c)];
}
bool IsWhitespace(char c) {
    return ClassOf(c) == kSpace;
}

// The scans below read eight bytes as one word where the byte order lets
// the first byte in memory be the lowest; elsewhere they go byte by byte.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

uint64_t Word(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The high bit of each byte of word that is zero. The lowest bit set is
// exact; bits above it may be false.
uint64_t ZeroBytes(uint64_t word) {
    return (word - kOnes) & ~word & kHighBits;
}

// Whether the n bytes at a and b are the same. Names are short: eight bytes
// at a time (while both have eight before limit) spare the library call
// and the per-byte loop's hard-to-predict exit.
bool SameBytes(const char* a, const char* b, size_t n, const char* limit) {
    if constexpr (kLittleEndian) {
        for (; limit - a >= 8 && limit - b >= 8; a += 8, b += 8, n -= 8) {
            uint64_t differ = Word(a) ^ Word(b);
            if (n <= 8) return n == 8 ? differ == 0 : (differ & ((uint64_t{1} << 8 * n) - 1)) == 0;
            if (differ) return false;
        }
    }
    return std::memcmp(a, b, n) == 0;
}

// The end of the run of plain characters from p on, read without lead
// bytes. Every blank and delimiter is below 0x40 or is '\\': eight bytes
// at a time are tested for those, and the class table settles each
// candidate (digits and some punctuation are below 0x40 too, yet plain).
const char* PlainEnd(const char* p, const char* end) {
    if constexpr (kLittleEndian) {
        constexpr uint64_t kBackslashes = kOnes * '\\';
        while (end - p >= 8) {
            uint64_t word = Word(p);
            // A byte is below 0x40 when its two top bits are clear.
            uint64_t candidates =
                (~(word | word << 1) & kHighBits) | ZeroBytes(word ^ kBackslashes);
            if (!candidates) {
                p += 8;
                continue;
            }
            const char* at = p + std::countr_zero(candidates) / 8;
            if (ClassOf(*at) != kPlain) return at;
            p = at + 1;
        }
    }
    while (p < end && ClassOf(*p) == kPlain) ++p;
    return p;
}

// How many bytes FindByte compares itself before it asks memchr.
constexpr ptrdiff_t kNearBytes = 32;

// The first wanted byte in [p, end), or end. Between two tags the next '<'
// is most often a line end away, and a tag's '>' a few attributes away:
// eight bytes at a time are looked at here on those short runs, which
// spares a library call, and memchr takes the long ones.
inline const char* FindByte(const char* p, const char* end, char wanted) {
    const char* near = p + std::min(end - p, kNearBytes);
    if constexpr (kLittleEndian) {
        const uint64_t pattern = kOnes * static_cast<unsigned char>(wanted);
        for (; near - p >= 8; p += 8) {
            // A zero byte where wanted stands.
            uint64_t zero = ZeroBytes(Word(p) ^ pattern);
            if (zero) return p + std::countr_zero(zero) / 8;
        }
    }
    for (; p < near; ++p)
        if (*p == wanted) return p;
    const void* hit = p < end ? std::memchr(p, wanted, end - p) : nullptr;
    return hit ? static_cast<const char*>(hit) : end;
}

// How many times c stands in the text: blocks of branch-free compares, which
// the compiler turns into vector instructions.
size_t CountByte(const char* text, size_t size, char c) {
    size_t count = 0, i = 0;
    constexpr size_t kBlock = 128;
    for (; i + kBlock <= size; i += kBlock) {
        uint8_t block = 0;
        for (size_t k = 0; k < kBlock; ++k) block += text[i + k] == c;
        count += block;
    }
    for (; i < size; ++i) count += text[i] == c;
    return count;
}

struct Entity {
    std::string_view name;  // after the '&'
    char value;
};
constexpr Entity kEntities[] = {
    {"lt;", '<'}, {"amp;", '&'}, {"gt;", '>'}, {"apos;", '\''}, {"quot;", '"'}};

// The closing quote of a value that starts at p, or end without one, and
// whether an '&' stands before it: eight bytes at a time, the first of
// each found exactly (ZeroBytes' lowest bit).
const char* FindValueEnd(const char* p, const char* end, bool* entity) {
    if constexpr (kLittleEndian) {
        for (; end - p >= 8; p += 8) {
            const uint64_t word = Word(p);
            const uint64_t quote = ZeroBytes(word ^ (kOnes * '"'));
            const uint64_t amp = ZeroBytes(word ^ (kOnes * '&'));
            if (quote) {
                *entity = *entity || (amp && std::countr_zero(amp) < std::countr_zero(quote));
                return p + std::countr_zero(quote) / 8;
            }
            *entity = *entity || amp;
        }
    }
    for (; p < end && *p != '"'; ++p) *entity = *entity || *p == '&';
    return p;
}

// Whether the text at name (known to be as long) spells want. Attribute
// names are a few letters: a plain loop beats the library call.
bool SpellsName(std::string_view want, const char* name) {
    for (size_t i = 0; i < want.size(); ++i)
        if (want[i] != name[i]) return false;
    return true;
}

std::string Format(std::string_view message, std::string_view name) {
    std::string out;
    size_t at = message.find("%s");
    out.append(message.substr(0, at));
    out.append(name);
    out.append(message.substr(at + 2));
    return out;
}

}  // namespace

MarkupParser::ElementTable::~ElementTable() {
    std::free(data);
}

bool MarkupParser::ElementTable::Reserve(size_t count) {
    if (count <= capacity) return true;
    void* grown = std::realloc(data, count * sizeof(MarkupElement));
    if (!grown) return false;
    data = static_cast<MarkupElement*>(grown);
    capacity = count;
    return true;
}

// The table always holds entry 0, so that every read of it is safe.
MarkupParser::MarkupParser() {
    if (!elements_.Reserve(8)) std::abort();
    elements_[0] = MarkupElement{};
}

void MarkupParser::SetLeadBytes(std::string_view leadBytes) {
    leadByte_.fill(false);
    for (char c : leadBytes) leadByte_[static_cast<unsigned char>(c)] = true;
    leadByte_[0] = false;
    hasLeadBytes_ = !leadBytes.empty();
}

// One character forward: a lead byte takes its trail byte along, but never
// past the end of the text.
int32_t MarkupParser::Step(int32_t pos) const {
    if (hasLeadBytes_ && leadByte_[static_cast<unsigned char>(text_[pos])] && pos + 1 < end_)
        return pos + 2;
    return pos + 1;
}

// The first wanted character from from on, or end_.
inline int32_t MarkupParser::Find(int32_t from, char wanted) const {
    if (from >= end_) return end_;
    if (!hasLeadBytes_) {
        const char* text = text_.data();
        return static_cast<int32_t>(FindByte(text + from, text + end_, wanted) - text);
    }
    while (from < end_ && text_[from] != wanted) from = Step(from);
    return from;
}

bool MarkupParser::FindChar(int32_t* pos, char wanted) const {
    *pos = Find(*pos, wanted);
    return *pos < end_;
}

bool MarkupParser::FindMarker(int32_t from, std::string_view marker, int32_t* pos) const {
    std::string_view doc(text_.data(), end_);
    if (!hasLeadBytes_) {
        if (marker.size() == 1) {
            int32_t at = from;
            if (!FindChar(&at, marker[0])) return false;
            *pos = at;
            return true;
        }
        size_t hit = doc.find(marker, from);
        if (hit == std::string_view::npos) return false;
        *pos = static_cast<int32_t>(hit);
        return true;
    }
    for (int32_t at = from; at < end_; at = Step(at)) {
        if (doc.compare(at, marker.size(), marker) == 0) {
            *pos = at;
            return true;
        }
    }
    return false;
}

bool MarkupParser::ReadToken(int32_t from, Token* token, int32_t* next) const {
    int32_t pos = from;
    while (pos < end_ && IsWhitespace(text_[pos])) ++pos;
    if (pos >= end_) {
        *next = pos;
        return false;
    }
    char c = text_[pos];
    if (c == '"') {
        token->isString = true;
        token->left = pos + 1;
        int32_t close = pos + 1;
        FindChar(&close, '"');
        token->right = close;
        *next = close < end_ ? close + 1 : close;
    } else if (ClassOf(c) == kDelimiter) {
        token->isString = false;
        token->left = pos;
        token->right = pos + 1;
        *next = pos + 1;
    } else {
        token->isString = false;
        token->left = pos;
        if (hasLeadBytes_) {
            while (pos < end_ && ClassOf(text_[pos]) == kPlain) pos = Step(pos);
        } else {
            const char* p = text_.data() + pos;
            const char* end = text_.data() + end_;
            while (p < end && ClassOf(*p) == kPlain) ++p;
            pos = static_cast<int32_t>(p - text_.data());
        }
        token->right = pos;
        *next = pos;
    }
    return *next < end_;
}

// Makes room for one more entry; the entry itself is written whole once its
// start tag is read.
bool MarkupParser::HasFreeEntry() {
    return static_cast<size_t>(nextFree_) < elements_.capacity ||
           elements_.Reserve(elements_.capacity + elements_.capacity / 2 + 1);
}

int32_t MarkupParser::Fail(std::string message) {
    errorText_ = std::move(message);
    return -1;
}

// The markup whose '<' is at open, up to its closing marker (*close is
// where that marker starts), read with the general token walk.
MarkupParser::Markup MarkupParser::ReadMarkup(int32_t open, Token* name, int32_t* close) {
    Token token;
    int32_t next = 0;
    if (!ReadToken(open + 1, &token, &next)) return Fail("Abrupt end within tag"), Markup::Failed;
    if (token.isString) return Fail("Tag starts with quote"), Markup::Failed;
    std::string_view marker = ">";
    char first = text_[token.left];
    if (first == '/') return Markup::EndTag;
    if (first == '?') {
        marker = "?>";
    } else if (first == '!') {
        char after = token.left + 1 < end_ ? text_[token.left + 1] : '\0';
        marker = after == '[' ? "]]>" : after == '-' ? "-->" : ">";
    }
    if (!FindMarker(next, marker, close)) return Fail("End of tag not found"), Markup::Failed;
    if (first == '?' || first == '!') return Markup::Skipped;
    *name = token;
    return Markup::Element;
}

// Steps 1 to 4 of an element: finds its start tag below parent, skipping
// comments, processing instructions, CDATA sections and declarations.
// Returns the new index, 0 at the parent's end tag, -1 on error.
int32_t MarkupParser::OpenElement(int32_t parent, bool* empty) {
    if (!HasFreeEntry()) return Fail("Not enough memory for the element table");
    const char* text = text_.data();
    const char* end = text + end_;
    int32_t scan = elements_[parent].endTagOpen;
    int32_t open = 0;
    Token name;
    for (;;) {
        open = Find(scan, '<');
        if (open >= end_) return Fail("Element tag not found");
        elements_[parent].endTagOpen = open;
        // Nearly every tag has its name right after the '<': read here
        // without the general token walk, to the same result.
        const char* p = text + open + 1;
        if (!hasLeadBytes_ && p < end && *p != '"' && ClassOf(*p) == kPlain) {
            name.left = open + 1;
            p = PlainEnd(p + 1, end);
            if (p == end) return Fail("Abrupt end within tag");
            name.right = static_cast<int32_t>(p - text);
            // The first '>' after the name closes the tag, quoted or not.
            scan = static_cast<int32_t>(FindByte(p, end, '>') - text);
            if (scan == end_) return Fail("End of tag not found");
            break;
        }
        // And an end tag: '/' right after the '<'.
        if (!hasLeadBytes_ && p + 1 < end && *p == '/') return 0;
        Markup markup = ReadMarkup(open, &name, &scan);
        if (markup == Markup::Element) break;
        if (markup == Markup::EndTag) return 0;
        if (markup == Markup::Failed) return -1;
    }
    *empty = text[scan - 1] == '/';
    int32_t index = nextFree_++;
    elements_[index] = MarkupElement{.startTagOpen = open,
                                     .startTagClose = scan,
                                     .endTagOpen = *empty ? scan - 1 : scan + 1,
                                     .endTagClose = *empty ? scan : 0,
                                     .parent = parent,
                                     .nameLeft = name.left,
                                     .nameRight = name.right};
    return index;
}

// The end tag of an element whose children are all read. The child search
// only gives up on a '<' followed by '/', so the "not found" and "Expecting"
// failures below guard states no well-formed call reaches.
bool MarkupParser::CloseElement(int32_t index) {
    MarkupElement& e = elements_[index];
    std::string_view name(text_.data() + e.nameLeft, e.nameRight - e.nameLeft);
    // The child search leaves the end tag's '<' where the search starts.
    int32_t open = e.endTagOpen;
    if (open >= end_ || text_[open] != '<') {
        if (!FindChar(&open, '<'))
            return Fail(Format("End tag of %s element not found", name)), false;
        e.endTagOpen = open;
    }
    // The usual "</NAME>": the tokens "/", NAME and ">" read in one step.
    size_t after = static_cast<size_t>(open) + 2 + name.size();
    if (after < static_cast<size_t>(end_) && text_[open + 1] == '/' && text_[after] == '>' &&
        SameBytes(text_.data() + open + 2, name.data(), name.size(), text_.data() + end_)) {
        e.endTagClose = static_cast<int32_t>(after);
        return true;
    }
    // Tokens up to the closing '>'; a token that ends at the end of the text
    // yields false but still counts as the last one read.
    int count = 0;
    Token last;
    int32_t pos = open + 1;
    for (;;) {
        int32_t next = 0;
        bool more = ReadToken(pos, &last, &next);
        if (!more) break;
        ++count;
        if (!last.isString) {
            std::string_view text(text_.data() + last.left, last.right - last.left);
            if (count == 1 && text[0] != '/')
                return Fail(Format("Expecting end tag of element %s", name)), false;
            if (count == 2 && text != name)
                return Fail(Format("End tag does not correspond to %s", name)), false;
            if (text[0] == '>') break;
        }
        pos = next;
    }
    // The end tag must close with '>': a text that ends inside it (in a
    // quoted string, say) has no end tag.
    if (count < 2 || last.isString || text_[last.left] != '>')
        return Fail(Format("End tag not completed for element %s", name)), false;
    e.endTagClose = last.left;
    return true;
}

bool MarkupParser::Parse(std::string text) {
    text_ = std::move(text);
    size_t nul = text_.find('\0');
    size_t length = nul == std::string::npos ? text_.size() : nul;
    nextFree_ = 1;
    current_ = currentChild_ = depth_ = 0;
    if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max() - 16)) {
        end_ = 0;
        errorText_ = "Document too large";
        elements_[0] = MarkupElement{};
        return false;
    }
    end_ = static_cast<int32_t>(length);
    // The table is sized once, as growing it copies it: every element starts
    // with a '<' and takes at least four bytes ("<a/>").
    size_t wanted = std::min(CountByte(text_.data(), length, '<'), length / 4) + 8;
    if (!elements_.Reserve(wanted)) {
        errorText_ = "Not enough memory for the element table";
        elements_[0] = MarkupElement{};
        return false;
    }
    elements_[0] = MarkupElement{};
    if (end_ == 0) return false;

    auto failed = [this] {
        elements_[0] = MarkupElement{};
        nextFree_ = 1;
        return false;
    };

    // Built in place: a temporary, written half by half and read back as
    // one word, would stall the processor on every element.
    struct Open {
        explicit Open(int32_t element) : index(element) {}
        int32_t index;
        int32_t lastChild = 0;
    };
    std::vector<Open> open;
    open.reserve(64);
    bool empty = false;
    int32_t top = OpenElement(0, &empty);
    if (top <= 0) return failed();
    if (!empty) open.emplace_back(top);
    while (!open.empty()) {
        Open& level = open.back();
        int32_t child = OpenElement(level.index, &empty);
        if (child < 0) return failed();
        if (child > 0) {
            if (level.lastChild == 0)
                elements_[level.index].firstChild = child;
            else
                elements_[level.lastChild].nextSibling = child;
            level.lastChild = child;
            if (empty)
                elements_[level.index].endTagOpen = elements_[child].endTagClose + 1;
            else
                open.emplace_back(child);
            continue;
        }
        if (!CloseElement(level.index)) return failed();
        int32_t closed = level.index;
        open.pop_back();
        if (!open.empty())
            elements_[open.back().index].endTagOpen = elements_[closed].endTagClose + 1;
    }
    elements_[0].firstChild = top;
    return true;
}

std::string_view MarkupParser::ElementName(int32_t index) const {
    if (index <= 0 || index >= nextFree_) return {};
    const MarkupElement& e = elements_[index];
    return std::string_view(text_.data() + e.nameLeft, e.nameRight - e.nameLeft);
}

// Called for every child a walk passes, so the length is compared before
// any byte. index is an element of the tree.
bool MarkupParser::SameName(int32_t index, std::string_view name) const {
    if (name.empty()) return true;
    const MarkupElement& e = elements_[index];
    return static_cast<size_t>(e.nameRight - e.nameLeft) == name.size() &&
           std::memcmp(text_.data() + e.nameLeft, name.data(), name.size()) == 0;
}

bool MarkupParser::ElementIsEmpty(int32_t index) const {
    const MarkupElement& e = elements_[index];
    return e.startTagClose == e.endTagOpen + 1;
}

bool MarkupParser::NextElement(std::string_view name) {
    if (nextFree_ <= 1) return false;
    int32_t candidate = current_ ? elements_[current_].nextSibling : elements_[0].firstChild;
    for (; candidate; candidate = elements_[candidate].nextSibling) {
        if (SameName(candidate, name)) {
            current_ = candidate;
            currentChild_ = 0;
            return true;
        }
    }
    return false;
}

bool MarkupParser::NextChild(std::string_view name) {
    if (current_ == 0 && !NextElement({})) return false;
    if (current_ == 0 || ElementIsEmpty(current_)) return false;
    int32_t candidate =
        currentChild_ ? elements_[currentChild_].nextSibling : elements_[current_].firstChild;
    for (; candidate; candidate = elements_[candidate].nextSibling) {
        if (SameName(candidate, name)) {
            currentChild_ = candidate;
            return true;
        }
    }
    return false;
}

int32_t MarkupParser::ChildCount(std::string_view name) const {
    if (current_ == 0 || ElementIsEmpty(current_)) return 0;
    int32_t count = 0;
    for (int32_t child = elements_[current_].firstChild; child;
         child = elements_[child].nextSibling)
        count += SameName(child, name);
    return count;
}

bool MarkupParser::EnterChild() {
    if (currentChild_ == 0 && !NextChild({})) return false;
    if (currentChild_ == 0) return false;
    current_ = currentChild_;
    currentChild_ = 0;
    ++depth_;
    return true;
}

bool MarkupParser::SelectChild(int32_t index) {
    if (index == 0) {
        currentChild_ = 0;
        return true;
    }
    if (current_ == 0 || index < 0 || index >= nextFree_ || elements_[index].parent != current_)
        return false;
    currentChild_ = index;
    return true;
}

bool MarkupParser::LeaveElement() {
    if (current_ == 0 || depth_ == 0) return false;
    currentChild_ = current_;
    current_ = elements_[current_].parent;
    --depth_;
    return true;
}

std::string MarkupParser::Decode(int32_t from, int32_t to) const {
    // Most values hold no entity: one copy, without growing a string.
    if (to <= from) return {};
    if (!std::memchr(text_.data() + from, '&', to - from))
        return std::string(text_.data() + from, to - from);
    std::string out;
    out.reserve(to - from);
    DecodeInto(from, to, &out);
    return out;
}

// Appends the decoded text; never more bytes than the text has.
void MarkupParser::DecodeInto(int32_t from, int32_t to, std::string* out) const {
    int32_t pos = from;
    while (pos < to) {
        // Plain text up to the next '&' is copied in one piece; a trail byte
        // that happens to be '&' belongs to its lead byte.
        int32_t amp = pos;
        if (hasLeadBytes_) {
            while (amp < to && text_[amp] != '&') amp = std::min(Step(amp), to);
        } else {
            const void* hit = std::memchr(text_.data() + pos, '&', to - pos);
            amp = hit ? static_cast<int32_t>(static_cast<const char*>(hit) - text_.data()) : to;
        }
        out->append(text_, pos, amp - pos);
        pos = amp;
        if (pos >= to) break;
        bool decoded = false;
        for (const Entity& entity : kEntities) {
            int32_t after = pos + 1 + static_cast<int32_t>(entity.name.size());
            if (after <= to &&
                std::string_view(text_.data() + pos + 1, entity.name.size()) == entity.name) {
                *out += entity.value;
                pos = after;
                decoded = true;
                break;
            }
        }
        if (!decoded) *out += text_[pos++];
    }
}

std::string MarkupParser::AttributeOf(int32_t index, std::string_view name) const {
    std::string value;
    AttributesOf(index, {{name, &value}});
    return value;
}

// A tag whose attributes all stand as NAME="value" (blanks allowed around
// the '='), read without the general token walk; the values found are then
// exactly what the walk finds: each from the first attribute of its name.
// False, having found nothing, at anything else (a lone name, a quote where
// a name belongs, a value the end of the text cuts off, lead bytes), which
// the walk reads instead. A load reads some hundred thousand tags this way:
// the search for the closing quote also tells whether an entity stands
// before it.
bool MarkupParser::PlainAttributes(int32_t pos, WantedNames names, FoundValues* found) const {
    if (hasLeadBytes_) return false;
    const char* text = text_.data();
    const char* p = text + pos;
    const char* end = text + end_;
    auto skipSpace = [&] {
        while (p < end && IsWhitespace(*p)) ++p;
        return p < end;
    };
    auto fail = [found] {
        found->set = found->entity = 0;
        return false;
    };
    size_t unset = names.size();
    while (unset > 0) {
        if (!skipSpace()) return fail();
        const char c = *p;
        if (c == '/' || c == '>') break;
        if (c == '"' || ClassOf(c) != kPlain) return fail();
        const char* name = p;
        p = PlainEnd(p, end);
        const size_t nameLength = p - name;
        // Blanks around the '=' are looked for only where the usual `="`
        // does not follow the name.
        if (end - p >= 2 && p[0] == '=' && p[1] == '"') {
            p += 2;
        } else {
            if (!skipSpace() || *p != '=') return fail();
            ++p;
            if (!skipSpace() || *p != '"') return fail();
            ++p;
        }
        bool entity = false;
        const char* close = FindValueEnd(p, end, &entity);
        if (end - close <= 1) return fail();
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string_view want = names[i];
            if (found->Has(i) || want.size() != nameLength || !SpellsName(want, name)) continue;
            found->Add(i, static_cast<int32_t>(p - text), static_cast<int32_t>(close - text),
                       entity);
            --unset;
        }
        p = close + 1;
    }
    return true;
}

// The tokens after the name, up to a '/' or '>' token: an attribute's value
// is the second token after the first token equal to its name, when that
// token is a quoted string. A value cut off by the end of the text is not
// found.
void MarkupParser::FindAttributes(int32_t index, WantedNames names, FoundValues* found) const {
    found->set = found->entity = 0;
    if (index <= 0 || index >= nextFree_) return;
    int32_t pos = elements_[index].nameRight;
    if (pos >= end_) return;
    if (PlainAttributes(pos, names, found)) return;
    // Per name: -1 before its first match, then the tokens read since it;
    // at 2 it is settled.
    std::array<int, kMostWanted> since;
    since.fill(-1);
    size_t unsettled = names.size();
    Token token;
    while (unsettled > 0) {
        if (!ReadToken(pos, &token, &pos)) return;
        for (size_t i = 0; i < names.size(); ++i) {
            int& count = since[i];
            if ((count == 0 || count == 1) && ++count == 2) {
                --unsettled;
                if (token.isString)
                    found->Add(i, token.left, token.right,
                               std::memchr(text_.data() + token.left, '&',
                                           token.right - token.left) != nullptr);
            }
        }
        if (token.isString) continue;
        char first = text_[token.left];
        if (first == '/' || first == '>') return;
        if (first == '=') continue;
        std::string_view text(text_.data() + token.left, token.right - token.left);
        for (size_t i = 0; i < names.size(); ++i)
            if (since[i] < 0 && text == names.begin()[i]) since[i] = 0;
    }
}

void MarkupParser::AttributesOf(
    int32_t index, std::initializer_list<std::pair<std::string_view, std::string*>> wanted) const {
    if (wanted.size() > kMostWanted) {
        for (const auto& [name, value] : wanted) *value = AttributeOf(index, name);
        return;
    }
    std::array<std::string_view, kMostWanted> names;
    size_t count = 0;
    for (const auto& want : wanted) names[count++] = want.first;
    FoundValues found;
    FindAttributes(index, {names.data(), count}, &found);
    size_t i = 0;
    for (const auto& want : wanted) {
        if (found.Has(i))
            *want.second = Decode(found.left[i], found.right[i]);
        else
            want.second->clear();
        ++i;
    }
}

void MarkupParser::AttributeViews(int32_t index, std::span<const std::string_view> names,
                                  std::string_view* values, std::string* decoded) const {
    const size_t count = std::min(names.size(), kMostWanted);
    FoundValues found;
    FindAttributes(index, names.first(count), &found);
    if (found.entity) {
        // Room for every decoded value at once, so that appending one never
        // moves the ones before it: decoding never lengthens a value.
        size_t room = 0;
        for (size_t i = 0; i < count; ++i)
            if (found.entity >> i & 1) room += found.right[i] - found.left[i];
        decoded->clear();
        decoded->reserve(room);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (!found.Has(i)) {
            values[i] = {};
        } else if (!(found.entity >> i & 1)) {
            values[i] =
                std::string_view(text_.data() + found.left[i], found.right[i] - found.left[i]);
        } else {
            size_t from = decoded->size();
            DecodeInto(found.left[i], found.right[i], decoded);
            values[i] = std::string_view(*decoded).substr(from);
        }
    }
}

std::string MarkupParser::ElementAttribute(std::string_view name) const {
    return AttributeOf(current_, name);
}

std::string MarkupParser::ChildAttribute(std::string_view name) const {
    return AttributeOf(currentChild_, name);
}

void MarkupParser::ChildAttributes(
    std::initializer_list<std::pair<std::string_view, std::string*>> wanted) const {
    AttributesOf(currentChild_, wanted);
}

std::string MarkupParser::ChildData() const {
    int32_t index = currentChild_;
    if (index <= 0 || index >= nextFree_) return {};
    const MarkupElement& e = elements_[index];
    if (e.firstChild != 0 || ElementIsEmpty(index)) return {};
    Token token;
    int32_t next = 0;
    ReadToken(e.startTagClose + 1, &token, &next);
    constexpr std::string_view kCdataOpen = "![CDATA[";
    std::string_view doc(text_.data(), end_);
    if (!token.isString && token.left > e.startTagClose && token.left < end_ &&
        text_[token.left] == '<' && token.left + 11 < e.endTagOpen &&
        doc.compare(token.left + 1, kCdataOpen.size(), kCdataOpen) == 0) {
        int32_t from = token.left + 1 + static_cast<int32_t>(kCdataOpen.size());
        size_t close = doc.find("]]>", from);
        if (close != std::string_view::npos && static_cast<int32_t>(close) < e.endTagOpen)
            return std::string(doc.substr(from, close - from));
    }
    return Decode(e.startTagClose + 1, e.endTagOpen);
}

}  // namespace tolvane
