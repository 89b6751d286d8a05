// _common.h: types shared by every library that exchanges command messages.
#pragma once
#include <cstdint>

typedef unsigned char byte;

// Interfaces and the exception cross library boundaries: their type info must be
// visible so that every library agrees on one type.
#define VELTRIX_VISIBLE __attribute__((visibility("default")))
// Plain, undecorated exports.
#define VELTRIX_EXPORT extern "C" __attribute__((visibility("default")))
