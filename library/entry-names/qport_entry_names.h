// SPDX-License-Identifier: LGPL-2.1-or-later
// The names under which the library's dynamic symbol table exports the
// entry points of qport.h. They are C++ functions, so the names are
// mangled; whoever loads the library with dlopen (qport-run's preload, the
// thread tests, the emulated PC's guest) looks them up here, and the exports
// test holds the table to the declarations.
#ifndef QPORT_ENTRY_NAMES_H
#define QPORT_ENTRY_NAMES_H

#include <array>

namespace qport::entry_names {

inline constexpr const char *inport = "_Z6inports";      // int inport(short)
inline constexpr const char *inportw = "_Z7inportws";    // short inportw(short)
inline constexpr const char *inportb = "_Z7inportbs";    // char inportb(short)
inline constexpr const char *outport = "_Z7outportsi";   // void outport(short, int)
inline constexpr const char *outportw = "_Z8outportwss"; // void outportw(short, short)
inline constexpr const char *outportb = "_Z8outportbsc"; // void outportb(short, char)
inline constexpr const char *message = "_Z7Messagev";    // int Message()
inline constexpr const char *error1 = "_Z6Error1v";      // int Error1()
inline constexpr const char *inpb = "_Z4inpbs";          // int inpb(short)
inline constexpr const char *inpw = "_Z4inpws";          // int inpw(short)
inline constexpr const char *outpb = "_Z5outpbsc";       // int outpb(short, char)

inline constexpr std::array all{inport,  inportw, inportb, outport, outportw, outportb,
                                message, error1,  inpb,    inpw,    outpb};

} // namespace qport::entry_names

#endif
