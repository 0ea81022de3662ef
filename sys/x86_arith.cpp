/*
 * 64-bit division on the x86 image.  The 32-bit compiler turns a ULONGLONG or LONGLONG quotient
 * (the card timing's clock arithmetic) into a call of __udivdi3 or __divdi3, which a kernel image
 * has no library to take from; the platform's kernel exports the same operations as _aulldiv and
 * _alldiv, which its own compiler calls for the purpose.  Under -mrtd the compiler also expects
 * the helper to take its two 64-bit arguments off the stack (16 bytes), as the kernel's routines
 * do, so each helper here is that routine, reached through one jump.  Only the quotients the
 * driver computes are here: a remainder would need _aullrem and _allrem the same way.
 */
extern "C" {
__declspec(dllimport) unsigned long long __stdcall _aulldiv(unsigned long long Dividend, unsigned long long Divisor);
__declspec(dllimport) long long __stdcall _alldiv(long long Dividend, long long Divisor);

unsigned long long __udivdi3(unsigned long long Dividend, unsigned long long Divisor) {
    return _aulldiv(Dividend, Divisor);
}

long long __divdi3(long long Dividend, long long Divisor) {
    return _alldiv(Dividend, Divisor);
}
}
