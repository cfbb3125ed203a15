// The engine context behind le_ctx: one loaded bundle with its identity,
// driving track, compositor, driver video and (on first render) the
// renderer. Internal: tools and pipelines that link the core statically reach
// its parts; hosts see an opaque handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "compose/paste.h"
#include "identity/identity.h"
#include "core/manifest.h"
#include "driver/cursor.h"
#include "le/le.h"
#include "render/renderer.h"

struct le_ctx {
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;
  std::unique_ptr<le::Paste> paste;
  int32_t threads;
  std::string ep;
  bool threadsChosen;
  std::string modelKey;
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* lastCrop = nullptr;

  le_ctx(const char* bundle, const char* key, int t, const char* e, bool chosen);
  ~le_ctx();

  size_t frameBytes() const { return static_cast<size_t>(manifest.W) * manifest.H * 3; }
  // The renderer, created on first use.
  le::Renderer& render();
};
