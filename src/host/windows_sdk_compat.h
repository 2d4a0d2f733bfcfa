// The one place that declares Windows SDK items MinGW-w64's headers lack. Each
// interface is declared in its documented vtable order; methods the program never
// calls keep their slot as a placeholder, so that every called method sits at its
// real offset. Windows-only; include after the SDK headers it extends.
#pragma once
