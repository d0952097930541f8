// Wildcard matching of names (FsRtlIsNameInExpression and its helpers).
//
// The expression is run as a set of positions (a non-deterministic automaton)
// over the name, one character at a time: each step costs at most one pass
// over the expression, so a match is O(expression x name) whatever the
// wildcards, with no backtracking.
#include <wdm.h>
#include <ntifs.h>

#include <vector>

namespace {

// Two sets of expression positions (the live one and the next one); small
// expressions, the common case, need no heap.
class PositionSets {
public:
    explicit PositionSets(SIZE_T count) : count_(count) {
        if (count <= kInline) {
            current_ = inline_[0];
            next_ = inline_[1];
            return;
        }
        heap_.resize(2 * count);
        current_ = heap_.data();
        next_ = heap_.data() + count;
    }
    PositionSets(const PositionSets&) = delete;
    PositionSets& operator=(const PositionSets&) = delete;

    UCHAR* Current() { return current_; }
    UCHAR* ClearNext() {
        memset(next_, 0, count_);
        return next_;
    }
    void Swap() {
        UCHAR* t = current_;
        current_ = next_;
        next_ = t;
    }

private:
    static constexpr SIZE_T kInline = 128;
    SIZE_T count_;
    UCHAR inline_[2][kInline];
    std::vector<UCHAR> heap_;
    UCHAR* current_;
    UCHAR* next_;
};

class ExpressionMatcher {
public:
    ExpressionMatcher(PCWSTR expression, SIZE_T expressionLength, PCWSTR name, SIZE_T nameLength,
                      BOOLEAN ignoreCase, PWCH upcaseTable)
        : expr_(expression), exprLength_(expressionLength), name_(name), nameLength_(nameLength),
          ignoreCase_(ignoreCase), upcase_(upcaseTable), lastDot_(FindLastDot()), sets_(expressionLength + 1) {}

    bool Run() {
        UCHAR* start = sets_.ClearNext();
        start[0] = TRUE;
        sets_.Swap();
        for (SIZE_T n = 0; n < nameLength_; ++n) {
            Close(n);
            if (!Step(n)) return false;
        }
        Close(nameLength_);
        return sets_.Current()[exprLength_] != 0;
    }

private:
    SIZE_T FindLastDot() const {
        for (SIZE_T i = nameLength_; i > 0; --i) {
            if (name_[i - 1] == L'.') return i - 1;
        }
        return nameLength_;  // none
    }

    WCHAR NameChar(SIZE_T n) const {
        WCHAR c = name_[n];
        if (!ignoreCase_) return c;
        return upcase_ != NULL ? upcase_[c] : RtlUpcaseUnicodeChar(c);
    }

    // Adds the positions reachable without taking a character at name index n.
    // Every such move goes forward, so one ascending pass finds them all.
    void Close(SIZE_T n) {
        bool atEnd = n == nameLength_;
        bool atDot = !atEnd && name_[n] == L'.';
        UCHAR* current = sets_.Current();
        for (SIZE_T e = 0; e < exprLength_; ++e) {
            if (!current[e]) continue;
            WCHAR c = expr_[e];
            if (c == L'*' || c == DOS_STAR) current[e + 1] = TRUE;
            else if (c == DOS_QM && (atEnd || atDot)) current[e + 1] = TRUE;
            else if (c == DOS_DOT && atEnd) current[e + 1] = TRUE;
        }
    }

    // Takes name character n from every live position; false when none is left.
    bool Step(SIZE_T n) {
        const UCHAR* current = sets_.Current();
        UCHAR* next = sets_.ClearNext();
        WCHAR ch = NameChar(n);
        bool isDot = name_[n] == L'.';
        bool any = false;
        for (SIZE_T e = 0; e < exprLength_; ++e) {
            if (!current[e]) continue;
            SIZE_T to = Target(expr_[e], e, ch, isDot, n == lastDot_);
            if (to == kNone) continue;
            next[to] = TRUE;
            any = true;
        }
        sets_.Swap();
        return any;
    }

    static constexpr SIZE_T kNone = static_cast<SIZE_T>(-1);

    // Where position e goes on taking character ch, or kNone.
    static SIZE_T Target(WCHAR c, SIZE_T e, WCHAR ch, bool isDot, bool isLastDot) {
        switch (c) {
        case L'*': return e;
        case DOS_STAR: return isLastDot ? kNone : e;
        case L'?': return e + 1;
        case DOS_QM: return isDot ? kNone : e + 1;
        case DOS_DOT: return isDot ? e + 1 : kNone;
        default: return c == ch ? e + 1 : kNone;
        }
    }

    PCWSTR expr_;
    SIZE_T exprLength_;
    PCWSTR name_;
    SIZE_T nameLength_;
    BOOLEAN ignoreCase_;
    PWCH upcase_;
    SIZE_T lastDot_;
    PositionSets sets_;
};

}  // namespace

extern "C" BOOLEAN NTAPI FsRtlDoesNameContainWildCards(PUNICODE_STRING Name) {
    for (USHORT i = 0; i < Name->Length / sizeof(WCHAR); ++i) {
        if (FsRtlIsUnicodeCharacterWild(Name->Buffer[i])) return TRUE;
    }
    return FALSE;
}

extern "C" BOOLEAN NTAPI FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                                 BOOLEAN IgnoreCase, PWCH UpcaseTable) {
    SIZE_T exprLength = Expression->Length / sizeof(WCHAR);
    SIZE_T nameLength = Name->Length / sizeof(WCHAR);
    if (exprLength == 0 || nameLength == 0) return exprLength == nameLength;
    if (exprLength == 1 && Expression->Buffer[0] == L'*') return TRUE;
    ExpressionMatcher matcher(Expression->Buffer, exprLength, Name->Buffer, nameLength, IgnoreCase, UpcaseTable);
    return matcher.Run() ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI FsRtlAreNamesEqual(PCUNICODE_STRING Name1, PCUNICODE_STRING Name2, BOOLEAN IgnoreCase,
                                            PCWCH UpcaseTable) {
    if (Name1->Length != Name2->Length) return FALSE;
    for (USHORT i = 0; i < Name1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = Name1->Buffer[i];
        WCHAR b = Name2->Buffer[i];
        if (IgnoreCase) {
            a = UpcaseTable != NULL ? UpcaseTable[a] : RtlUpcaseUnicodeChar(a);
            b = UpcaseTable != NULL ? UpcaseTable[b] : RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return FALSE;
    }
    return TRUE;
}
