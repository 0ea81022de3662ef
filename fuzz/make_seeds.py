#!/usr/bin/env python3
"""Writes the seed corpora of fuzz/corpus/<target>/ from the inputs below, each a readable
sequence of fields in the target's input format (the top of each target's source has it).
Run from anywhere: python3 fuzz/make_seeds.py.  Seeds only: findings go to fuzz/regressions/."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack('<H', v)


def u32(v):
    return struct.pack('<I', v)


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(bytes(data))


# ---- atr --------------------------------------------------------------------------------------
def reader(flags, clk=3580, rate=9600, rates=(9600,)):
    out = bytes([flags]) + u16(clk) + u16(clk) + u32(rate) + u32(rate) + bytes([len(rates)])
    for r in rates:
        out += u32(r)
    return out


def with_tck(atr):
    x = 0
    for b in atr[1:]:
        x ^= b
    return atr + [x]


ATRS = {
    't0': [0x3B, 0x14, 0x13, 0x4C, 0x4D, 0x30, 0x30],
    't1': with_tck([0x3B, 0x94, 0x13, 0x81, 0x31, 0x20, 0x45, 0x4C, 0x4D, 0x31, 0x30]),
    't1_crc': with_tck([0x3B, 0x94, 0x13, 0x81, 0x71, 0xFE, 0x45, 0x01, 0x4C, 0x4D, 0x31, 0x31]),
    'specific_t1': with_tck([0x3B, 0x94, 0x11, 0x91, 0x01, 0x31, 0x20, 0x45, 0x4C, 0x4D, 0x33, 0x30]),
    'both': with_tck([0x3B, 0x94, 0x13, 0x80, 0x31, 0xFE, 0x45, 0x4C, 0x4D, 0x32, 0x30]),
    'minimal': [0x3B, 0x00],
    'inverse': [0x3F, 0x00],
    'inverse_undecoded': [0x03, 0x12, 0x00, 0x4C, 0x4D],
    'global_groups': with_tck([0x3B, 0xFF, 0x96, 0x00, 0xFF, 0x81, 0x31, 0xFE, 0x45, 0x65, 0x63, 0x0D, 0x0C,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00]),
    'td_chain': with_tck([0x3B, 0x80, 0x80, 0x80, 0x80, 0x01]),
}
for name, atr in ATRS.items():
    write('atr', name, reader(0x10) + bytes(atr))
write('atr', 'no_rate_list', reader(0x00, rates=()) + bytes(ATRS['t1']))
write('atr', 'fast_reader', reader(0x10, clk=4000, rate=9600, rates=(9600, 19200, 38400, 76800, 115200)) + bytes(ATRS['t0']))
write('atr', 't0_reader_only', reader(0x14) + bytes(ATRS['specific_t1']))
write('atr', 'length_lies', reader(0x30) + bytes([40]) + bytes(ATRS['t1'][1:]))
write('atr', 'text', b'\x01' + b'3B 94 13 81 31 20 45 4C 4D 31 30 52')
write('atr', 'text_json', b'\x03' + b'3b:14:13:4c:4d:30:30')
write('atr', 'text_bad', b'\x01' + b'3B 9x')

# ---- exchanges --------------------------------------------------------------------------------
def exchange(options, commands, reactions, seed=1, ifsc=0, silence=20, room=0, atr=None):
    out = bytes([options | ((len(commands) - 1) << 3) | (0x20 if atr is not None else 0), seed, ifsc, silence, room])
    if atr is not None:
        out += bytes([len(atr)]) + bytes(atr)
    for c in commands:
        out += bytes([len(c)]) + bytes(c)
    for r in reactions:
        ctl, data = r if isinstance(r, tuple) else (0, r)
        out += bytes([ctl, len(data)]) + bytes(data)
    return out


SELECT = [0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00]
READ4 = [0x00, 0xB0, 0x00, 0x00, 0x04]
T0 = {
    'select_ack': ([SELECT], [[0xA4], [0x90, 0x00]]),
    'select_ack_odd': ([SELECT], [[0xA5], [0x90, 0x00]]),
    'select_byte_by_byte': ([SELECT], [[0x5B], [0x5B], [0x90, 0x00]]),
    'select_status_at_once': ([SELECT], [[0x6A, 0x82]]),
    'select_nulls': ([SELECT], [[0x60, 0x60, 0xA4], [0x60, 0x90, 0x00]]),
    'read_ack': ([READ4], [[0xB0, 0x01, 0x10, 0x03, 0x04, 0x90, 0x00]]),
    'read_byte_by_byte': ([[0x00, 0xB0, 0x00, 0x00, 0x02]], [[0x4F, 0x01, 0x60, 0x4F, 0x02, 0x90, 0x00]]),
    'read_wrong_length': ([READ4], [[0x6C, 0x02]]),
    'case1': ([[0x00, 0x20, 0x00, 0x01]], [[0x90, 0x00]]),
    'get_response': ([SELECT, [0x00, 0xC0, 0x00, 0x00, 0x04]], [[0x61, 0x04], [0xC0, 0x6F, 0x02, 0x83, 0x00, 0x90, 0x00]]),
    'two_commands': ([SELECT, READ4], [[0xA4], [0x90, 0x00], [0xB0, 1, 2, 3, 4, 0x90, 0x00]]),
    'reader_error_reply': ([SELECT], [(0x10, [0x84, 0xA4]), [0x90, 0x00]]),
    'reader_timeout_event': ([SELECT], [(0x08, [0x10, 0x83])]),
    'faulty_byte': ([READ4], [(0x08, [0xB0, 0x01, 0x10, 0x88, 0x03, 0x04, 0x90, 0x00])]),
    'card_removed': ([SELECT], [[0xA4], (0x08, [0x10, 0x86])]),
    'slow_card': ([SELECT], [(0x05, [0xA4]), (0x06, [0x90, 0x00])]),
    # The reader refuses the power-down that follows a card that broke the protocol.
    'power_down_refused': ([SELECT], [(0x80, [0x84, 0x84]), [0x12]]),
    'silent_card': ([SELECT], []),
    'small_room': ([READ4], [[0xB0, 1, 2, 3, 4, 0x90, 0x00]]),
    'extended_length': ([[0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00]], [[0x67, 0x00]]),
}
for name, (commands, reactions) in T0.items():
    write('t0_exchange', name, exchange(0, commands, reactions, room=4 if name == 'small_room' else 0))
# Cards of their own: negotiable (a PTS exchange the card does not answer), inverse, T=0 and
# T=1 offered, a TCK missing, the longest answer.
write('t0_exchange', 'atr_negotiable', exchange(0, [SELECT], [[0xFF, 0x10, 0x11, 0xFE], [0xA4], [0x90, 0x00]],
                                                atr=ATRS['t0']))
write('t0_exchange', 'atr_inverse', exchange(0, [SELECT], [[0x6A, 0x82]], atr=[0x03, 0x00]))
write('t0_exchange', 'atr_both', exchange(0, [SELECT], [[0x6A, 0x82]], atr=ATRS['both']))
write('t0_exchange', 'atr_no_tck', exchange(0, [SELECT], [[0x6A, 0x82]], atr=ATRS['t1'][:-1]))
write('t0_exchange', 'atr_longest', exchange(0, [SELECT], [[0x6A, 0x82]], atr=ATRS['global_groups'] + [0] * 9))
write('t0_exchange', 'atr_specific', exchange(0, [SELECT], [[0x6A, 0x82]], atr=[0x3B, 0x80, 0x10, 0x10]))
write('t0_exchange', 'port_completes_at_once', exchange(0x04, [SELECT], [[0xA4], [0x90, 0x00]]))

FIX = 0x01
CRC = 0x02


def i_block(ns, inf, more=False, nad=0):
    return [nad, (ns << 6) | (0x20 if more else 0)] + inf


def r_block(nr, err=0):
    return [0, 0x80 | (nr << 4) | err]


def s_block(kind, inf=(), response=False):
    return [0, 0xC0 | (0x20 if response else 0) | kind] + list(inf)


T1 = {
    'select': (FIX, [SELECT], [i_block(0, [0x90, 0x00])]),
    'select_crc': (FIX | CRC, [SELECT], [i_block(0, [0x90, 0x00])]),
    'read': (FIX, [READ4], [i_block(0, [1, 2, 0x10, 4, 0x90, 0x00])]),
    'two_commands': (FIX, [SELECT, READ4], [i_block(0, [0x90, 0x00]), i_block(1, [1, 2, 3, 4, 0x90, 0x00])]),
    'wtx': (FIX, [SELECT], [s_block(3, [0x02]), i_block(0, [0x90, 0x00])]),
    'ifs_request': (FIX, [SELECT], [s_block(1, [0x10]), i_block(0, [0x90, 0x00])]),
    'card_chains': (FIX, [READ4], [i_block(0, [1, 2], more=True), i_block(1, [3, 4, 0x90, 0x00])]),
    'r_block_asks_again': (FIX, [SELECT], [r_block(0, 1), i_block(0, [0x90, 0x00])]),
    'resync_response': (FIX, [SELECT], [s_block(0, response=True), i_block(0, [0x90, 0x00])]),
    'abort': (FIX, [SELECT], [s_block(2), i_block(0, [0x90, 0x00])]),
    'bad_checksum': (FIX, [SELECT], [(0x20, [0x00, 0x00, 0x02, 0x90, 0x00, 0x00]), i_block(0, [0x90, 0x00])]),
    'raw_block_lrc': (0, [SELECT], [[0x00, 0x00, 0x02, 0x90, 0x00, 0x92]]),
    'nad': (FIX, [SELECT], [i_block(0, [0x90, 0x00], nad=0x12)]),
    'reader_timeout': (FIX, [SELECT], [(0x08, [0x10, 0x83]), i_block(0, [0x90, 0x00])]),
    'silent_card': (FIX, [SELECT], []),
}
# The driver's first block after the reset asks for an IFSD of 254: the card answers it first.
IFS_RESPONSE = s_block(1, [0xFE], response=True)
for name, (options, commands, reactions) in T1.items():
    write('t1_exchange', name, exchange(options, commands, [IFS_RESPONSE] + reactions))
write('t1_exchange', 'atr_negotiable_t1', exchange(FIX, [SELECT], [(0x60, [0xFF, 0x11, 0x11, 0xFF]), IFS_RESPONSE,
                                                                    i_block(0, [0x90, 0x00])], atr=ATRS['t1']))
write('t1_exchange', 'ifsd_refused', exchange(FIX, [SELECT], [r_block(0, 2), i_block(0, [0x90, 0x00])]))
# A command longer than the card's IFSC of 16: the driver chains, the card acknowledges each block.
LONG = [0x00, 0xD6, 0x00, 0x00, 40] + list(range(40))
write('t1_exchange', 'driver_chains', exchange(FIX, [LONG], [IFS_RESPONSE, r_block(1), r_block(0), i_block(0, [0x90, 0x00])], ifsc=16))
write('t1_exchange', 'driver_chains_crc', exchange(FIX | CRC, [LONG], [IFS_RESPONSE, r_block(1), r_block(0), i_block(0, [0x90, 0x00])], ifsc=16))

# ---- device_control ---------------------------------------------------------------------------
CODES = ['POWER', 'GET_ATTRIBUTE', 'SET_ATTRIBUTE', 'CONFISCATE', 'TRANSMIT', 'EJECT', 'SWALLOW', 'IS_PRESENT',
         'IS_ABSENT', 'SET_PROTOCOL', 'GET_STATE', 'GET_LAST_ERROR', 'GET_PERF_CNTR', 'GET_VERSION']
ATTR_ATR = 31
ATTR_PROTOCOL = 16
ATTR_IFSD = 23


def req(code, out, inp=b''):
    return bytes([CODES.index(code), *u16(out), len(inp)]) + bytes(inp)


def attr(index, out, setting=False, inp=b''):
    return bytes([0xC0 if setting else 0x80, *u16(out), len(inp), index]) + bytes(inp)


def io_request(protocol, apdu):
    return u32(protocol) + u32(8) + bytes(apdu)


def session(t1):
    p = 2 if t1 else 1
    return (req('POWER', 64, u32(1)) + req('SET_PROTOCOL', 4, u32(3)) +
            req('TRANSMIT', 266, io_request(p, [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])) +
            req('TRANSMIT', 266, io_request(p, [0x00, 0xB0, 0x00, 0x00, 0x04])) +
            req('GET_STATE', 4) + attr(ATTR_ATR, 64) + attr(ATTR_PROTOCOL, 4) + attr(ATTR_IFSD, 4) +
            req('GET_VERSION', 8) + req('IS_ABSENT', 0) + req('POWER', 0, u32(0)))


write('device_control', 'session_t1', bytes([1, 1, 0, 0]) + session(True))
for nth in (1, 3, 9):
    write('device_control', 'session_t1_fail_pool_%d' % nth, bytes([1, 1, nth, 1]) + session(True))
write('device_control', 'session_t0_fail_irp', bytes([0, 1, 2, 2]) + session(False))
write('device_control', 'session_t0', bytes([0, 1, 0, 0]) + session(False))
write('device_control', 'no_card_tracking', bytes([2, 1, 0, 0]) + req('IS_PRESENT', 0) + req('GET_STATE', 4) +
      bytes([0x7F, 0, 0, 0]) + req('GET_STATE', 4) + req('IS_ABSENT', 0))
write('device_control', 'short_buffers', bytes([1, 1, 0, 0]) + req('POWER', 2, u32(1)) + req('SET_PROTOCOL', 0, u32(2)) +
      req('TRANSMIT', 8, io_request(2, [0x00, 0xB0, 0x00, 0x00, 0x04])) + attr(ATTR_ATR, 3) + req('GET_STATE', 2) +
      req('GET_VERSION', 3) + req('POWER', 64, b'\x01'))
write('device_control', 'set_attributes', bytes([1, 1, 0, 0]) + attr(ATTR_IFSD, 0, True, u32(254)) +
      attr(ATTR_PROTOCOL, 0, True, u32(2)) + req('CONFISCATE', 0) + req('EJECT', 0) + req('SWALLOW', 0) +
      req('GET_LAST_ERROR', 4) + req('GET_PERF_CNTR', 64) + bytes([0x7E, 0, 0, 0]) + u32(0x00310000 | (2050 << 2)))
write('device_control', 'cancelled', bytes([1, 1, 0, 0]) + req('POWER', 64, u32(1)) + bytes([0x7D, 2]) +
      req('SET_PROTOCOL', 4, u32(2)) + bytes([0x7D, 1]) +
      req('TRANSMIT', 266, io_request(2, [0x00, 0xB0, 0x00, 0x00, 0x04])) + bytes([0x7D, 30]) +
      req('POWER', 64, u32(2)) + req('GET_STATE', 4))
write('device_control', 'card_pulled', bytes([1, 1, 0, 0]) + req('POWER', 64, u32(1)) + bytes([0x7F, 0, 0, 0]) +
      req('TRANSMIT', 266, io_request(2, [0x00, 0xB0, 0x00, 0x00, 0x04])) + bytes([0x7F, 0, 0, 0]) +
      req('POWER', 64, u32(2)))

# ---- ifd_handler ------------------------------------------------------------------------------
def transmit(protocol, apdu, room=300):
    return bytes([4, protocol, *u16(room), len(apdu)]) + bytes(apdu)


write('ifd_handler', 'power_transmit', bytes([3, 0, 0]) + transmit(1, SELECT) + bytes([5, 0, 64, 0]) + bytes([6]) +
      bytes([3, 2, 0]))
write('ifd_handler', 'capabilities', bytes([0, 0, 64, 0, 2, 8, 0, 6, 64, 1, 3, 4]) + bytes([0, 0xFF]) + u32(0x12345) +
      bytes([16, 7]))
write('ifd_handler', 'protocol', bytes([3, 0, 0, 2, 2, 0, 0, 0, 0]) + transmit(1, READ4, 3) + bytes([2, 1, 0x10, 0x13, 0, 0]))
write('ifd_handler', 'card_moves', bytes([3, 0, 0, 8, 6]) + transmit(1, SELECT) + bytes([8, 6]))
write('ifd_handler', 'second_channel', bytes([9, 0, 9, 1, 9, 4, 10, 20, 3, 0, 0, 10, 0]))
write('ifd_handler', 'power_small_room', bytes([3, 0, 2, 3, 1, 0, 3, 9, 0]) + transmit(0, SELECT, 1))

# ---- lmscr_script ------------------------------------------------------------------------------
scripts = os.path.join(HERE, '..', 'tests', 'tools', 'scripts')
for name in sorted(os.listdir(scripts)):
    shutil.copyfile(os.path.join(scripts, name), os.path.join(HERE, 'corpus', 'lmscr_script', name))
write('lmscr_script', 'patterns', b'00 A4 00 0C 02 3F 00 => ... 90 00\n00B0000004 => ?? ?? 61 ??  # four\n'
      b'!wait 10\n!sleep hibernate critical\n!wake\n!remove\n!insert t0\n!reset t1\n')
