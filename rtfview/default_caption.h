// The caption of every message box that has no caption of its own.
#pragma once

/// One fixed text for the whole program.
extern const char kDefaultCaption[];
