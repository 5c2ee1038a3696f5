#pragma once
// What the simulated camera sees: a procedural landscape, larger than the view, of which the camera
// shows a window it can pan and tilt, with moving things, an on-screen clock and frame counter, a
// status lamp and the brightness setting applied.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::camsim {

// RGB, 3 bytes per pixel, row-major, no padding.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// One step moves the view by an eighth of its width (pan) or height (tilt).
inline constexpr int kStepsPerView = 8;
inline constexpr int kMaxPan = 16;
inline constexpr int kMaxTilt = 8;

// Directions of a move command.
inline constexpr int kMoveUp = 0;
inline constexpr int kMoveDown = 2;
inline constexpr int kMoveLeft = 4;
inline constexpr int kMoveRight = 6;

struct ViewState {
    int pan = 0;   // view steps, negative = left; within [-kMaxPan, kMaxPan]
    int tilt = 0;  // view steps, negative = up; within [-kMaxTilt, kMaxTilt]
    bool lightOn = false;
    // 0 is dark, maxBrightness bright; half of maxBrightness shows the scene as it is.
    std::uint32_t brightness = 5;
    std::uint32_t maxBrightness = 10;
    std::uint64_t frameNumber = 0;
    double seconds = 0;  // time since the simulator started; drives the motion
    std::string clock;   // e.g. "13:45:02", drawn in the picture
};

// Moves the view one step in direction (kMoveUp, kMoveDown, kMoveLeft or kMoveRight), stopping at
// the edges of the scene. Returns false, changing nothing, for any other direction.
bool moveView(ViewState& view, int direction);

// Returns the view to its home position, centred and level. Light and brightness are settings of
// their own and stay as they are.
void resetView(ViewState& view);

// Draws the view into out at out.width x out.height, resizing out.pixels to fit. Every size shows
// the same field of view, only finer. Nothing is drawn for a width or height below 1.
void renderScene(const ViewState& view, RgbImage& out);

}  // namespace kestrel::camsim
