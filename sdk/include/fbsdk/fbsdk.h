// The host SDK as a plug-in sees it: the one header a device or panel includes.
//
// This is the in-memory stand-in host's SDK. It offers the classes and operations a device
// plug-in relies on, with the argument lists the plug-in uses; behind them a small,
// single-threaded, deterministic host evaluates, records, plots, binds, characterises and shows
// panels (driven by tests and by the headless host harness through the separate host-control
// interface, which plug-in code never includes).
//
// Threading: every host object is touched on the host's thread only. A plug-in's own threads
// reach its device through their own data (atomics, locks), never through these classes.
#pragma once

#include "fbsdk/fbsdk_core.h"
#include "fbsdk/fbsdk_scene.h"
#include "fbsdk/fbsdk_types.h"
#include "fbsdk/fbsdk_ui.h"
