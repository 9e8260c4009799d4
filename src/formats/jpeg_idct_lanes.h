// The codec's SIMD IDCT, written once for any register width: `L` supplies
// the type `V` (an SSE2 or AVX2 register of 16-bit samples) and the few
// operations below on it. An AVX2 instruction works on its two 128-bit
// halves independently, so the SSE2 steps done in both halves give the
// codec's results for two blocks at once, bit for bit. Included by the
// decoder's kernel units, each compiled for its instruction set; nothing
// here names an instruction.
#pragma once

namespace {

template <class L>
struct IdctWide {
    typename L::V low, high;
};

template <class L>
inline void idct_rotate(typename L::V x, typename L::V y, typename L::V c0, typename L::V c1,
                        IdctWide<L>* out0, IdctWide<L>* out1) {
    const typename L::V lo = L::unpacklo16(x, y), hi = L::unpackhi16(x, y);
    *out0 = {L::madd16(lo, c0), L::madd16(hi, c0)};
    *out1 = {L::madd16(lo, c1), L::madd16(hi, c1)};
}

template <class L>
inline IdctWide<L> idct_widen(typename L::V in) {
    return {L::template srai32<4>(L::unpacklo16(L::zero(), in)), L::template srai32<4>(L::unpackhi16(L::zero(), in))};
}

template <class L>
inline IdctWide<L> idct_add(IdctWide<L> a, IdctWide<L> b) {
    return {L::add32(a.low, b.low), L::add32(a.high, b.high)};
}

template <class L>
inline IdctWide<L> idct_sub(IdctWide<L> a, IdctWide<L> b) {
    return {L::sub32(a.low, b.low), L::sub32(a.high, b.high)};
}

template <class L, int shift>
inline void idct_butterfly(IdctWide<L> a, IdctWide<L> b, typename L::V bias, typename L::V* out0,
                           typename L::V* out1) {
    const IdctWide<L> biased{L::add32(a.low, bias), L::add32(a.high, bias)};
    const IdctWide<L> sum = idct_add<L>(biased, b), difference = idct_sub<L>(biased, b);
    *out0 = L::packs32(L::template srai32<shift>(sum.low), L::template srai32<shift>(sum.high));
    *out1 = L::packs32(L::template srai32<shift>(difference.low), L::template srai32<shift>(difference.high));
}

// The codec's fixed-point constants, computed as it computes them (a float
// product, then a double sum). The plain IDCT uses them too.
constexpr int idct_fixed(float x) { return static_cast<int>(x * 4096 + 0.5); }

template <class L, int shift>
inline void idct_pass(typename L::V row[8], typename L::V bias) {
    const typename L::V rot0_0 = L::pair(idct_fixed(0.5411961f), idct_fixed(0.5411961f) + idct_fixed(-1.847759065f));
    const typename L::V rot0_1 = L::pair(idct_fixed(0.5411961f) + idct_fixed(0.765366865f), idct_fixed(0.5411961f));
    const typename L::V rot1_0 =
        L::pair(idct_fixed(1.175875602f) + idct_fixed(-0.899976223f), idct_fixed(1.175875602f));
    const typename L::V rot1_1 =
        L::pair(idct_fixed(1.175875602f), idct_fixed(1.175875602f) + idct_fixed(-2.562915447f));
    const typename L::V rot2_0 =
        L::pair(idct_fixed(-1.961570560f) + idct_fixed(0.298631336f), idct_fixed(-1.961570560f));
    const typename L::V rot2_1 =
        L::pair(idct_fixed(-1.961570560f), idct_fixed(-1.961570560f) + idct_fixed(3.072711026f));
    const typename L::V rot3_0 =
        L::pair(idct_fixed(-0.390180644f) + idct_fixed(2.053119869f), idct_fixed(-0.390180644f));
    const typename L::V rot3_1 =
        L::pair(idct_fixed(-0.390180644f), idct_fixed(-0.390180644f) + idct_fixed(1.501321110f));
    IdctWide<L> t2e, t3e, y0o, y2o, y1o, y3o, y4o, y5o;
    idct_rotate<L>(row[2], row[6], rot0_0, rot0_1, &t2e, &t3e);
    const IdctWide<L> t0e = idct_widen<L>(L::add16(row[0], row[4]));
    const IdctWide<L> t1e = idct_widen<L>(L::sub16(row[0], row[4]));
    const IdctWide<L> x0 = idct_add<L>(t0e, t3e), x3 = idct_sub<L>(t0e, t3e);
    const IdctWide<L> x1 = idct_add<L>(t1e, t2e), x2 = idct_sub<L>(t1e, t2e);
    idct_rotate<L>(row[7], row[3], rot2_0, rot2_1, &y0o, &y2o);
    idct_rotate<L>(row[5], row[1], rot3_0, rot3_1, &y1o, &y3o);
    idct_rotate<L>(L::add16(row[1], row[7]), L::add16(row[3], row[5]), rot1_0, rot1_1, &y4o, &y5o);
    const IdctWide<L> x4 = idct_add<L>(y0o, y4o), x5 = idct_add<L>(y1o, y5o);
    const IdctWide<L> x6 = idct_add<L>(y2o, y5o), x7 = idct_add<L>(y3o, y4o);
    idct_butterfly<L, shift>(x0, x7, bias, &row[0], &row[7]);
    idct_butterfly<L, shift>(x1, x6, bias, &row[1], &row[6]);
    idct_butterfly<L, shift>(x2, x5, bias, &row[2], &row[5]);
    idct_butterfly<L, shift>(x3, x4, bias, &row[3], &row[4]);
}

template <class L>
inline void interleave16(typename L::V& a, typename L::V& b) {
    const typename L::V t = a;
    a = L::unpacklo16(a, b);
    b = L::unpackhi16(t, b);
}

template <class L>
inline void interleave8(typename L::V& a, typename L::V& b) {
    const typename L::V t = a;
    a = L::unpacklo8(a, b);
    b = L::unpackhi8(t, b);
}

// Both passes on dequantised rows, with the transpose between them, then
// the samples packed to bytes: out[k] holds the block's rows 2k and 2k+1,
// eight bytes each, in each 128-bit half.
template <class L>
inline void idct_to_bytes(typename L::V row[8], typename L::V out[4]) {
    idct_pass<L, 10>(row, L::set1_32(512));
    interleave16<L>(row[0], row[4]);
    interleave16<L>(row[1], row[5]);
    interleave16<L>(row[2], row[6]);
    interleave16<L>(row[3], row[7]);
    interleave16<L>(row[0], row[2]);
    interleave16<L>(row[1], row[3]);
    interleave16<L>(row[4], row[6]);
    interleave16<L>(row[5], row[7]);
    interleave16<L>(row[0], row[1]);
    interleave16<L>(row[2], row[3]);
    interleave16<L>(row[4], row[5]);
    interleave16<L>(row[6], row[7]);
    idct_pass<L, 17>(row, L::set1_32(65536 + (128 << 17)));
    typename L::V p0 = L::packus16(row[0], row[1]), p1 = L::packus16(row[2], row[3]);
    typename L::V p2 = L::packus16(row[4], row[5]), p3 = L::packus16(row[6], row[7]);
    interleave8<L>(p0, p2);
    interleave8<L>(p1, p3);
    interleave8<L>(p0, p1);
    interleave8<L>(p2, p3);
    interleave8<L>(p0, p2);
    interleave8<L>(p1, p3);
    out[0] = p0;
    out[1] = p2;
    out[2] = p1;
    out[3] = p3;
}

}  // namespace
