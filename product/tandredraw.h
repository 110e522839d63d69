// tandredraw.h - the drawing library's export: the engine's curve onto a device context
//
// Plain C export, named exactly as written here (tandredraw.def pins it).

#ifndef TANDREDRAW_H
#define TANDREDRAW_H

#include <windows.h>

#include "tandrecore.h"

#ifdef TANDREDRAW_BUILDING
#define TANDREDRAW_API extern "C" __declspec(dllexport)
#else
#define TANDREDRAW_API extern "C" __declspec(dllimport)
#endif

/* Draws points[0 .. count) as one connected polyline into hdc, in consecutive
   stretches of a few colours. Leaves the DC's pen as it was. Returns TRUE when
   every stretch was drawn, FALSE when count is below 2 or GDI refused. */
TANDREDRAW_API BOOL TandreDrawCurve(HDC hdc, const TandrePoint *points, int count);

#endif
