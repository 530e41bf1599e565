// Running a path program (program.hpp) over a tree: the pre-order walk
// (walk.hpp), with a parallel stack that holds, per open place, the states
// the program is in there and the descendant steps pending from above. A
// child's states follow from its parent's, its own name and tests, and its
// position among its siblings, so the walk needs nothing but its own stack;
// a subtree with nothing pending and no step down is skipped.
//
// Shared trees: a node reached through an own node's child array may stand
// in many places (places.hpp). The first walk assumes there are none and
// stops at the first node held more than once. Then the matches are counted
// per distinct (node, states) pair, so a result too large to hold is refused
// before any of it is built, and the walk that collects them skips every
// such subtree with no match.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "core/base/siphash.hpp"
#include "core/path/program.hpp"
#include "core/tree/places.hpp"
#include "core/tree/walk.hpp"

namespace arbolite {

inline constexpr std::uint32_t kNoPositions = UINT32_MAX;
inline constexpr std::uint64_t kPollInterval = 4096;

// Positions among same-named siblings, for [n] and [last()].
class SiblingPositions {
public:
    // Appends two numbers per child of `n`, in order: its index among the
    // children with its name, and how many have that name. Returns where
    // they start in `out`.
    std::uint32_t append(const Node* n, std::vector<std::uint32_t>& out);

private:
    struct Slot {
        const char* name;
        std::uint64_t len;
        std::uint32_t count;
    };
    std::vector<Slot> table_;
    std::vector<std::string_view> names_;
};

enum class PathRun {
    Done,      // every match wanted is in the output
    Stopped,   // poll() asked to stop
    TooMany,   // more matches than `most`; nothing collected
};

// What the counting walk learns per (node, states) of a node that may
// recur: the matches in its subtree. Programs of up to 64 states key a flat
// table by the node and one word each of states; longer ones, a map by the
// bytes of all three.
class SmallStateMemo {
public:
    struct Key {
        const Node* node;
        std::uint64_t states;
        std::uint64_t carried;
    };
    const std::uint64_t* find(const Key& k) const noexcept {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = hash(k) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            const Slot& s = slots_[i];
            if (!s.key.node) return nullptr;
            if (s.key.node == k.node && s.key.states == k.states && s.key.carried == k.carried) return &s.value;
        }
    }
    void insert(const Key& k, std::uint64_t value) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        for (std::size_t i = hash(k) & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (!s.key.node) {
                s = Slot{k, value};
                ++used_;
                return;
            }
            if (s.key.node == k.node && s.key.states == k.states && s.key.carried == k.carried) return;
        }
    }

private:
    struct Slot {
        Key key;
        std::uint64_t value;
    };
    static std::size_t hash(const Key& k) noexcept {
        std::uint64_t h = (reinterpret_cast<std::uintptr_t>(k.node) >> 3) * 0x9E3779B97F4A7C15ULL;
        h ^= (k.states ^ (k.carried << 1)) * 0xC2B2AE3D27D4EB4FULL;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size(), Slot{{nullptr, 0, 0}, 0});
        old.swap(slots_);
        used_ = 0;
        for (const Slot& s : old) {
            if (s.key.node) insert(s.key, s.value);
        }
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

class LargeStateMemo {
public:
    using Key = std::string;
    const std::uint64_t* find(const Key& k) const {
        auto it = map_.find(k);
        return it == map_.end() ? nullptr : &it->second;
    }
    void insert(const Key& k, std::uint64_t value) { map_.emplace(k, value); }

private:
    std::unordered_map<std::string, std::uint64_t> map_;
};

template <int StaticWords, class Poll>
class PathMachine {
public:
    enum class Mode { Fast, Count, Collect };

    PathMachine(const PathProgram& program, Poll& poll) : p_(program), poll_(poll) {
        if constexpr (StaticWords == 0) words_ = (program.ops.size() + 63) / 64;
        const std::size_t w = words();
        masks_.assign(kMasks * w, 0);
        for (std::size_t s = 0; s < program.ops.size(); ++s) {
            const PathOp& op = program.ops[s];
            switch (op.kind) {
                case OpKind::Child: set(mask(kChild), s); break;
                case OpKind::Descendant: set(mask(kDesc), s); break;
                case OpKind::DescendantOrSelf: set(mask(kDos), s); break;
                case OpKind::Test: {
                    const PathTest& t = program.tests[op.test];
                    if (t.kind == TestKind::Position || t.kind == TestKind::FromEnd) positions_ = true;
                    if (t.kind == TestKind::Child && program.clauses[t.clause].positions) clause_positions_ = true;
                    break;
                }
                case OpKind::Accept: break;
            }
            if (op.kind == OpKind::Test || op.kind == OpKind::DescendantOrSelf || op.kind == OpKind::Accept) {
                set(mask(kHere), s);
            }
        }
        for (std::size_t k = 0; k < w; ++k) {
            mask(kCarry)[k] = mask(kDesc)[k] | mask(kDos)[k];
            mask(kDown)[k] = mask(kCarry)[k] | mask(kChild)[k];
        }
        for (const std::uint32_t s : program.starts) set(mask(kStart), s);
    }

    // Collects matches into `out` until `want` are there.
    void start(Mode mode, std::vector<Node*>* out, std::size_t want) {
        mode_ = mode;
        out_ = out;
        want_ = want;
        frames_.clear();
        lean_.clear();
        scratch_.clear();
        total_ = 0;
        shared_ = false;
    }

    // Programs of up to 64 states that test no position, collecting, take
    // the lean walk: the two words of a place live in its frame, and a
    // frame is made only for a place the walk goes into.
    bool lean() const noexcept {
        return StaticWords == 1 && mode_ == Mode::Fast && !positions_ && !clause_positions_;
    }

    [[gnu::always_inline]] Walk enter_lean(Node* c, std::size_t depth) {
        if (!tick()) [[unlikely]] {
            stopped_ = true;
            return Walk::Stop;
        }
        std::uint64_t act;
        std::uint64_t car;
        if (depth == 0) [[unlikely]] {
            act = masks_[kStart];
            car = 0;
        } else {
            const LeanFrame& parent = lean_.back();
            std::uint64_t a = 0;
            for (std::uint64_t m = parent.states & masks_[kChild]; m; m &= m - 1) {
                if (p_.ops[static_cast<std::size_t>(__builtin_ctzll(m))].name(c)) a |= m & (0 - m);
            }
            for (std::uint64_t m = parent.carried & masks_[kDesc]; m; m &= m - 1) {
                if (p_.ops[static_cast<std::size_t>(__builtin_ctzll(m))].name(c)) a |= m & (0 - m);
            }
            a |= parent.carried & masks_[kDos];
            car = parent.carried;
            if ((a | car) == 0) return Walk::Over;
            if (c->head.refcount > 1) [[unlikely]] {
                shared_ = true;
                return Walk::Stop;
            }
            act = a << 1;
        }
        if (act & masks_[kHere]) {
            const bool accept = here(&act, c, kNoPositions, 0);
            if (stopped_) return Walk::Stop;
            if (accept) {
                out_->push_back(c);
                if (out_->size() >= want_) return Walk::Stop;
            }
        }
        car |= act & masks_[kCarry];
        if (c->child_count == 0 || ((act & masks_[kDown]) | car) == 0) return Walk::Over;
        lean_.push_back(LeanFrame{act, car});
        return Walk::Into;
    }

    void leave_lean() noexcept { lean_.pop_back(); }

    bool stopped() const noexcept { return stopped_; }
    bool met_shared() const noexcept { return shared_; }
    std::uint64_t ticks() const noexcept { return ticks_; }
    std::uint64_t total() const noexcept { return total_; }

    Walk enter(Node* c, std::size_t depth) {
        if (!tick()) {
            stopped_ = true;
            return Walk::Stop;
        }
        const std::size_t w = words();
        const std::size_t f = frames_.size();
        if (bits_.size() < (f + 1) * 2 * w) bits_.resize((f + 1) * 2 * w * 2);
        std::uint64_t* act = bits_.data() + f * 2 * w;
        std::uint64_t* car = act + w;
        std::uint32_t parent_positions = kNoPositions;
        std::uint32_t index = 0;
        if (depth == 0) {
            for (std::size_t k = 0; k < w; ++k) {
                act[k] = mask(kStart)[k];
                car[k] = 0;
            }
        } else {
            Frame& parent = frames_.back();
            index = parent.next_child++;
            const std::uint64_t* pact = act - 2 * w;
            const std::uint64_t* pcar = pact + w;
            bool any = false;
            for (std::size_t k = 0; k < w; ++k) {
                std::uint64_t a = 0;
                for (std::uint64_t m = pact[k] & mask(kChild)[k]; m; m &= m - 1) {
                    const std::size_t s = k * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
                    if (p_.ops[s].name(c)) a |= m & (0 - m);
                }
                for (std::uint64_t m = pcar[k] & mask(kDesc)[k]; m; m &= m - 1) {
                    const std::size_t s = k * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
                    if (p_.ops[s].name(c)) a |= m & (0 - m);
                }
                a |= pcar[k] & mask(kDos)[k];
                any |= (a | pcar[k]) != 0;
                act[k] = a;
                car[k] = pcar[k];
            }
            // With nothing to do here or below, the child is passed over,
            // and so is any sharing below it.
            if (!any) return Walk::Over;
            if (mode_ == Mode::Fast && c->head.refcount > 1) {
                shared_ = true;
                return Walk::Stop;
            }
            // A step leads from state s to s + 1: shift the word's bits up.
            shift_up(act);
            if (positions_) {
                if (parent.positions == kNoPositions) parent.positions = sibling_.append(parent.node, scratch_);
                parent_positions = parent.positions;
            }
        }
        // The walk that only collects needs a frame for a place it goes into,
        // or for a test of its children's positions; the weighed walks keep
        // their counts in it.
        const bool early = mode_ != Mode::Fast || clause_positions_;
        if (early) push(c);
        const bool accept = here(act, c, parent_positions, index);
        if (stopped_) return Walk::Stop;
        bool down = false;
        for (std::size_t k = 0; k < w; ++k) {
            car[k] |= act[k] & mask(kCarry)[k];
            down |= ((act[k] & mask(kDown)[k]) | car[k]) != 0;
        }
        down = down && c->child_count != 0;
        if (mode_ != Mode::Fast && may_recur(c, depth)) {
            key_of(c, act);
            const std::uint64_t* known = memo_.find(key_);
            if (known && (mode_ == Mode::Count || *known == 0)) {
                pop();
                if (mode_ == Mode::Count) frames_.back().count = saturating_add(frames_.back().count, *known);
                return Walk::Over;
            }
        }
        if (accept) {
            if (mode_ == Mode::Count) {
                frames_.back().count = 1;
            } else {
                out_->push_back(c);
                if (out_->size() >= want_) return Walk::Stop;
            }
        }
        if (down) {
            if (!early) push(c);
            return Walk::Into;
        }
        if (early) leave(c, depth);
        return Walk::Over;
    }

    void leave(Node* n, std::size_t) {
        if (mode_ != Mode::Count) {
            pop();
            return;
        }
        const std::uint64_t count = frames_.back().count;
        const std::size_t f = frames_.size() - 1;
        if (may_recur(n, f)) {
            key_of(n, bits_.data() + f * 2 * words());
            memo_.insert(key_, count);
        }
        pop();
        if (frames_.empty()) {
            total_ = count;
        } else {
            frames_.back().count = saturating_add(frames_.back().count, count);
        }
    }

private:
    struct Frame {
        const Node* node;
        std::uint32_t next_child;     // the index of the next child entered
        std::uint32_t positions;      // where its children's positions are in scratch_
        std::uint32_t scratch_mark;   // scratch_'s size when it was entered
        std::uint64_t count;          // Count: the matches in its subtree so far
    };

    struct LeanFrame {
        std::uint64_t states;
        std::uint64_t carried;
    };

    // A test of a child clause, one level below a place.
    struct ClauseFrame {
        std::uint32_t clause;
        ChildCursor cursor;
        Node* child;                  // the child whose tests run, or null
        std::uint32_t next_index;
        std::uint32_t child_index;
        std::uint32_t next_test;
        std::uint32_t positions;
        std::uint32_t scratch_mark;
    };

    enum MaskId { kChild, kDesc, kDos, kCarry, kDown, kHere, kStart, kMasks };

    // A place visited, or a child tested; every kPollInterval of them,
    // poll() may stop the run.
    bool tick() {
        if (++ticks_ % kPollInterval != 0) [[likely]]
            return true;
        return poll_();
    }

    std::size_t words() const noexcept {
        if constexpr (StaticWords != 0) {
            return StaticWords;
        } else {
            return words_;
        }
    }
    std::uint64_t* mask(MaskId id) noexcept { return masks_.data() + id * words(); }
    static void set(std::uint64_t* bits, std::size_t s) noexcept { bits[s / 64] |= std::uint64_t{1} << (s % 64); }

    void shift_up(std::uint64_t* bits) const noexcept {
        std::uint64_t carry = 0;
        for (std::size_t k = 0; k < words(); ++k) {
            const std::uint64_t v = bits[k];
            bits[k] = (v << 1) | carry;
            carry = v >> 63;
        }
    }

    // Only a node in an own node's child array that more than one
    // reference holds can be met in another place (places.hpp).
    bool may_recur(const Node* n, std::size_t depth) const noexcept {
        return depth > 0 && n->head.refcount > 1 && frames_[depth - 1].node->is_own();
    }

    void push(const Node* n) {
        frames_.push_back(Frame{n, 0, kNoPositions, static_cast<std::uint32_t>(scratch_.size()), 0});
    }

    void pop() {
        scratch_.resize(frames_.back().scratch_mark);
        frames_.pop_back();
    }

    void key_of(const Node* n, const std::uint64_t* bits) {
        if constexpr (StaticWords == 1) {
            key_ = SmallStateMemo::Key{n, bits[0], bits[1]};
        } else {
            key_.assign(reinterpret_cast<const char*>(&n), sizeof n);
            key_.append(reinterpret_cast<const char*>(bits), 2 * words() * sizeof(std::uint64_t));
        }
    }

    static std::string_view text_of(const Node* n) noexcept {
        const auto t = node_text(n);
        return t ? *t : std::string_view{};
    }

    // The tests that need no child: attributes, text, position (within the
    // siblings whose positions start at `positions`, or none for the start).
    static bool local_test(const PathTest& t, const Node* n, const std::uint32_t* positions, std::uint32_t index) {
        switch (t.kind) {
            case TestKind::HasAttr: return n->attr_count != 0 && find_attr(n, t.key).has_value();
            case TestKind::AttrEq: {
                if (n->attr_count == 0) return false;
                const auto v = find_attr(n, t.key);
                return v && *v == t.value;
            }
            case TestKind::AttrNe: {
                if (n->attr_count == 0) return false;
                const auto v = find_attr(n, t.key);
                return v && *v != t.value;
            }
            case TestKind::TextEq: return text_of(n) == t.value;
            case TestKind::TextNe: return text_of(n) != t.value;
            case TestKind::Position: return positions && positions[2 * index] == t.index;
            case TestKind::FromEnd:
                return positions && positions[2 * index + 1] - positions[2 * index] == t.index;
            case TestKind::Child: break;
        }
        return false;
    }

    // The states reached at `n` without moving: its tests, descendant-or-self,
    // and whether a branch ends here. `act` holds the states it arrived in.
    bool here(std::uint64_t* act, Node* n, std::uint32_t positions, std::uint32_t index) {
        bool accept = false;
        const std::uint32_t* pos = positions == kNoPositions ? nullptr : scratch_.data() + positions;
        for (std::size_t k = 0; k < words(); ++k) {
            std::uint64_t done = 0;
            for (;;) {
                const std::uint64_t m = act[k] & mask(kHere)[k] & ~done;
                if (!m) break;
                done |= m & (0 - m);
                const std::size_t s = k * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
                const PathOp& op = p_.ops[s];
                bool next = false;
                if (op.kind == OpKind::Accept) {
                    accept = true;
                } else if (op.kind == OpKind::DescendantOrSelf) {
                    next = true;
                } else {
                    const PathTest& t = p_.tests[op.test];
                    if (t.kind == TestKind::Child) {
                        next = child_exists(n, t.clause);
                        if (stopped_) return false;
                        // The scratch may have moved.
                        pos = positions == kNoPositions ? nullptr : scratch_.data() + positions;
                    } else {
                        next = local_test(t, n, pos, index);
                    }
                }
                if (next) set(act, s + 1);
            }
        }
        return accept;
    }

    void push_clause(Node* n, std::uint32_t clause, bool walk_place) {
        const ChildClause& cl = p_.clauses[clause];
        std::uint32_t positions = kNoPositions;
        if (cl.positions) {
            if (walk_place) {
                // The place the walk stands on keeps these for its children.
                Frame& f = frames_.back();
                if (f.positions == kNoPositions) f.positions = sibling_.append(f.node, scratch_);
                positions = f.positions;
            }
        }
        const auto mark = static_cast<std::uint32_t>(scratch_.size());
        if (cl.positions && !walk_place) positions = sibling_.append(n, scratch_);
        clauses_.push_back(ClauseFrame{clause, ChildCursor(n), nullptr, 0, 0, 0, positions, mark});
    }

    void pop_clause() {
        scratch_.resize(clauses_.back().scratch_mark);
        clauses_.pop_back();
    }

    // Whether `n` has a child that passes the clause: one level of explicit
    // stack per nested clause, so no path makes this recurse.
    bool child_exists(Node* n, std::uint32_t clause) {
        const std::size_t base = clauses_.size();
        push_clause(n, clause, base == 0);
        bool result = false;
        for (;;) {
            ClauseFrame& x = clauses_.back();
            const ChildClause& cl = p_.clauses[x.clause];
            bool decided = false;
            if (!x.child) {
                for (;;) {
                    Node* ch = x.cursor.next();
                    if (!ch) {
                        result = false;
                        decided = true;
                        break;
                    }
                    const std::uint32_t i = x.next_index++;
                    if (!tick()) {
                        stopped_ = true;
                        while (clauses_.size() > base) pop_clause();
                        return false;
                    }
                    if (cl.name(ch)) {
                        x.child = ch;
                        x.child_index = i;
                        x.next_test = 0;
                        break;
                    }
                }
            }
            if (!decided) {
                bool pushed = false;
                while (x.next_test < cl.count) {
                    const PathTest& t = p_.tests[p_.clause_tests[cl.first + x.next_test]];
                    if (t.kind == TestKind::Child) {
                        push_clause(x.child, t.clause, false);
                        pushed = true;
                        break;
                    }
                    const std::uint32_t* pos = x.positions == kNoPositions ? nullptr : scratch_.data() + x.positions;
                    if (!local_test(t, x.child, pos, x.child_index)) {
                        x.child = nullptr;
                        break;
                    }
                    ++x.next_test;
                }
                if (pushed) continue;
                if (!clauses_.back().child) continue;
                result = true;
            }
            pop_clause();
            if (clauses_.size() == base) return result;
            ClauseFrame& up = clauses_.back();
            if (result) {
                ++up.next_test;
            } else {
                up.child = nullptr;
            }
        }
    }

    const PathProgram& p_;
    Poll& poll_;
    std::uint64_t ticks_ = 0;
    std::size_t words_ = StaticWords;
    std::vector<std::uint64_t> masks_;
    bool positions_ = false;         // some op tests a position
    bool clause_positions_ = false;  // some op tests its children's positions

    Mode mode_ = Mode::Fast;
    std::vector<Node*>* out_ = nullptr;
    std::size_t want_ = SIZE_MAX;
    std::vector<Frame> frames_;
    std::vector<LeanFrame> lean_;
    std::vector<std::uint64_t> bits_;       // per frame: its states, then what it carries down
    std::vector<std::uint32_t> scratch_;    // sibling positions, a stack like the frames
    std::vector<ClauseFrame> clauses_;
    SiblingPositions sibling_;
    using Memo = std::conditional_t<StaticWords == 1, SmallStateMemo, LargeStateMemo>;
    Memo memo_;
    typename Memo::Key key_;
    std::uint64_t total_ = 0;
    bool shared_ = false;
    bool stopped_ = false;
};

struct PathTally {
    std::uint64_t matches = 0;  // in all, counted when the tree shares nodes
    std::uint64_t visits = 0;   // places visited and children tested, by every walk
};

// The matches of `program` below (and at) `root`, in document order, once
// per place, into `out`, stopping after `want`. Every kPollInterval places
// visited (or children tested), `poll()` may stop the run by returning
// false. A tree that shares nodes is weighed first: more than `most()`
// matches, when all are wanted, is TooMany, with the count in the tally.
template <int StaticWords, class Poll, class Most>
PathRun run_path_with(const PathProgram& program, Node* root, std::size_t want, Most& most, std::vector<Node*>& out,
                      PathTally& tally, Poll& poll) {
    using Machine = PathMachine<StaticWords, Poll>;
    using Mode = typename Machine::Mode;
    Machine m(program, poll);
    m.start(Mode::Fast, &out, want);
    if (m.lean()) {
        struct Lean {
            Machine& m;
            Walk enter(Node* n, std::size_t depth) { return m.enter_lean(n, depth); }
            void leave(Node*, std::size_t) { m.leave_lean(); }
        } lean{m};
        walk_preorder(root, lean);
    } else {
        walk_preorder(root, m);
    }
    tally.visits = m.ticks();
    if (m.stopped()) return PathRun::Stopped;
    if (!m.met_shared()) return PathRun::Done;
    out.clear();
    m.start(Mode::Count, nullptr, want);
    walk_preorder(root, m);
    tally.visits = m.ticks();
    if (m.stopped()) return PathRun::Stopped;
    tally.matches = m.total();
    if (want == SIZE_MAX && tally.matches > most()) return PathRun::TooMany;
    if (tally.matches == 0) return PathRun::Done;
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(tally.matches, want)));
    m.start(Mode::Collect, &out, want);
    walk_preorder(root, m);
    tally.visits = m.ticks();
    return m.stopped() ? PathRun::Stopped : PathRun::Done;
}

// One child step, the commonest path: the children, with no walk and no
// weighing (each is one place).
template <class Poll>
PathRun run_children(const NameTest& name, Node* root, std::size_t want, std::vector<Node*>& out, PathTally& tally,
                     Poll&& poll) {
    tally = PathTally{};
    if (want == 0) return PathRun::Done;
    ChildCursor children(root);
    while (Node* c = children.next()) {
        if (++tally.visits % kPollInterval == 0 && !poll()) return PathRun::Stopped;
        if (name(c)) {
            out.push_back(c);
            if (out.size() >= want) break;
        }
    }
    return PathRun::Done;
}

template <class Poll, class Most>
PathRun run_path(const PathProgram& program, Node* root, std::size_t want, Most&& most, std::vector<Node*>& out,
                 PathTally& tally, Poll&& poll) {
    tally = PathTally{};
    if (program.starts.empty() || want == 0) return PathRun::Done;
    if (program.ops.size() == 2 && program.ops[0].kind == OpKind::Child) {
        return run_children(program.ops[0].name, root, want, out, tally, poll);
    }
    if (program.ops.size() <= 64) return run_path_with<1>(program, root, want, most, out, tally, poll);
    return run_path_with<0>(program, root, want, most, out, tally, poll);
}

}  // namespace arbolite
