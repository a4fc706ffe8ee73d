// The overlay protocol of the in-memory state (rows, indexes): a transaction stages its changes in
// an overlay, which holds only those changes over a base state it reads through, and a commit
// absorbs them into the base. Beside the index module, which the row state sits above.
#pragma once

#include <concepts>
#include <utility>

#include "error.h"

namespace quarn {

// What every overlaid state shares: the link to its base and the protocol's checks. T derives
// from Overlayable<T>, and its default-constructed value is an empty state.
//   overlay_on(base): no changes over base, which must outlive the overlay and stay unchanged
//     while it is used (see rebase); costs nothing in the size of base.
//   rebase(base): points the overlay at base, which holds what its old base held (moved).
//   absorb(overlay) (T's own): applies the overlay's changes to its base and leaves the overlay
//     an empty state that overlays nothing; costs what the changes hold.
template <class T>
class Overlayable {
 public:
  // REQUIRES: base is not an overlay.
  static T overlay_on(const T& base) {
    QUARN_CHECK(!base.is_overlay(), "overlay on an overlay");
    T overlay;
    overlay.base_ = &base;
    return overlay;
  }
  bool is_overlay() const { return base_ != nullptr; }
  void rebase(const T& base) { base_ = &base; }

 protected:
  // The state this one overlays, or null.
  const T* base() const { return base_; }
  // The start of absorb: an internal fault naming `what` unless overlay is this state's.
  void check_absorbs(const T& overlay, const char* what) const {
    QUARN_CHECK(overlay.base_ == static_cast<const T*>(this), what);
  }
  // The end of absorb, once the overlay's changes are cleared.
  static void detach(T& overlay) { overlay.base_ = nullptr; }

 private:
  const T* base_ = nullptr;
};

// A state that keeps the overlay protocol; what a transaction stages its state in.
template <class T>
concept OverlayState = std::derived_from<T, Overlayable<T>> && std::default_initializable<T> &&
    requires(T& state, const T& base, T&& overlay) {
  { T::overlay_on(base) } -> std::same_as<T>;
  state.absorb(std::move(overlay));
};

}  // namespace quarn
