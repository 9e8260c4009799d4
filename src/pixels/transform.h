// The eight transforms that move whole pixels: the identity, the three
// quarter turns, the two mirrors and the two diagonal mirrors. One model
// serves the raster routines, the EXIF Orientation values (what each value
// needs to be shown upright, and how a change to the picture as shown
// composes with it) and the operations. Constant data and constexpr
// functions only, so the EXIF module can use it without the raster code.
#pragma once

#include <cstdint>

// The first six are the changes an operation asks for (their numbers are
// the ORIENT_OP_* codes); the diagonal mirrors arise only from
// composition and from Orientation values.
enum class Transform : uint8_t {
    Identity = 0,
    Turn90 = 1,           // quarter turn counter-clockwise
    Turn180 = 2,
    Turn270 = 3,          // quarter turn clockwise
    MirrorLeftRight = 4,
    MirrorTopBottom = 5,
    Transpose = 6,        // about the main diagonal: (x, y) goes to (y, x)
    Transverse = 7,       // about the anti-diagonal
};

constexpr int kTransformCount = 8;

// Driven from the destination: pixel (x, y) of the result of a W x H source
// is the source pixel at column u, row v, where (u, v) is (x, y), or (y, x)
// when the sides are exchanged; u counts from the right when
// columns_reversed (W - 1 - u), v from the bottom when rows_reversed.
struct TransformMap {
    bool exchanges_sides;  // the result is H wide and W high
    bool columns_reversed;
    bool rows_reversed;
};

constexpr TransformMap kTransformMaps[kTransformCount] = {
    {false, false, false},  // identity:          (x, y)
    {true, true, false},    // turn 90:           (W-1-y, x)
    {false, true, true},    // turn 180:          (W-1-x, H-1-y)
    {true, false, true},    // turn 270:          (y, H-1-x)
    {false, true, false},   // mirror left-right: (W-1-x, y)
    {false, false, true},   // mirror top-bottom: (x, H-1-y)
    {true, false, false},   // transpose:         (y, x)
    {true, true, true},     // transverse:        (W-1-y, H-1-x)
};

constexpr const TransformMap& transform_map(Transform transform) {
    return kTransformMaps[static_cast<int>(transform)];
}

constexpr bool exchanges_sides(Transform transform) {
    return transform_map(transform).exchanges_sides;
}

namespace transform_detail {

constexpr bool same_map(const TransformMap& a, const TransformMap& b) {
    return a.exchanges_sides == b.exchanges_sides && a.columns_reversed == b.columns_reversed &&
           a.rows_reversed == b.rows_reversed;
}

constexpr Transform transform_with_map(const TransformMap& map) {
    for (int i = 0; i < kTransformCount; ++i) {
        if (same_map(kTransformMaps[i], map)) return static_cast<Transform>(i);
    }
    return Transform::Identity;  // not reached: the eight maps are every map there is
}

// `first` applied, then `second` applied to its result. The source pixel
// of the whole is first's map applied to second's: when first exchanges
// the sides, second's column reversal lands on first's rows and its row
// reversal on first's columns.
constexpr Transform compose(Transform first, Transform second) {
    const TransformMap& a = transform_map(first);
    const TransformMap& b = transform_map(second);
    const bool columns = a.columns_reversed != (a.exchanges_sides ? b.rows_reversed : b.columns_reversed);
    const bool rows = a.rows_reversed != (a.exchanges_sides ? b.columns_reversed : b.rows_reversed);
    return transform_with_map({a.exchanges_sides != b.exchanges_sides, columns, rows});
}

struct CompositionTable {
    Transform cells[kTransformCount][kTransformCount];
};

constexpr CompositionTable make_composition_table() {
    CompositionTable table{};
    for (int first = 0; first < kTransformCount; ++first) {
        for (int second = 0; second < kTransformCount; ++second) {
            table.cells[first][second] = compose(static_cast<Transform>(first), static_cast<Transform>(second));
        }
    }
    return table;
}

struct InverseTable {
    Transform cells[kTransformCount];
};

constexpr InverseTable make_inverse_table(const CompositionTable& composition) {
    InverseTable table{};
    for (int t = 0; t < kTransformCount; ++t) {
        for (int candidate = 0; candidate < kTransformCount; ++candidate) {
            if (composition.cells[t][candidate] == Transform::Identity) {
                table.cells[t] = static_cast<Transform>(candidate);
            }
        }
    }
    return table;
}

}  // namespace transform_detail

// cells[first][second]: first applied, then second.
constexpr transform_detail::CompositionTable kCompositions = transform_detail::make_composition_table();
constexpr transform_detail::InverseTable kInverses = transform_detail::make_inverse_table(kCompositions);

constexpr Transform then(Transform first, Transform second) {
    return kCompositions.cells[static_cast<int>(first)][static_cast<int>(second)];
}

constexpr Transform inverse(Transform transform) {
    return kInverses.cells[static_cast<int>(transform)];
}

static_assert(inverse(Transform::Turn90) == Transform::Turn270, "a quarter turn undoes the other");
static_assert(then(Transform::Turn90, Transform::Turn90) == Transform::Turn180, "two quarter turns");
static_assert(then(Transform::MirrorLeftRight, Transform::Turn90) == Transform::Transpose,
              "a mirror, then a quarter turn, is a diagonal mirror");

// --- EXIF Orientation values ---------------------------------------------------

// The display transform of each Orientation value: what turns the stored
// pixels into the upright picture. Index 0 (no value) shows them as stored.
constexpr Transform kDisplayTransforms[9] = {
    Transform::Identity,         // 0: no orientation
    Transform::Identity,         // 1: upright
    Transform::MirrorLeftRight,  // 2: stored mirrored left to right
    Transform::Turn180,          // 3: stored turned by a half turn
    Transform::MirrorTopBottom,  // 4: stored mirrored top to bottom
    Transform::Transpose,        // 5: stored mirrored about the main diagonal
    Transform::Turn270,          // 6: needs a quarter turn clockwise
    Transform::Transverse,       // 7: stored mirrored about the anti-diagonal
    Transform::Turn90,           // 8: needs a quarter turn counter-clockwise
};

// Values outside 1..8 name no orientation: the pixels are shown as stored.
constexpr Transform display_transform(int orientation) {
    return orientation >= 1 && orientation <= 8 ? kDisplayTransforms[orientation] : Transform::Identity;
}

// The Orientation value 1..8 whose display transform is `transform`.
constexpr int orientation_displayed_by(Transform transform) {
    for (int value = 1; value <= 8; ++value) {
        if (kDisplayTransforms[value] == transform) return value;
    }
    return 0;  // not reached: the values 1..8 name the eight transforms
}
