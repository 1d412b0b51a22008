#pragma once

namespace snapvel {

// The form's layout is given in twips, at a fixed 15 twips per pixel; this is
// the one place where twips become pixels.
inline constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips)
{
    // Rounds to the nearest pixel, halves away from zero.
    return twips >= 0 ? (twips + kTwipsPerPixel / 2) / kTwipsPerPixel
                      : -((-twips + kTwipsPerPixel / 2) / kTwipsPerPixel);
}

static_assert(px(4920) == 328 && px(3240) == 216 && px(255) == 17 && px(-2000) == -133);

} // namespace snapvel
