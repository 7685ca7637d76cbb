// Building blocks of the byte display tables (ch_ech, asc_ech, ky_ech); not part of the API.
#ifndef LB_ECH_OWN_H
#define LB_ECH_OWN_H

// Every byte as a text of its own, for the entries that show a byte as itself.
struct EchSelf {
    char text[256][2];
};

constexpr EchSelf ech_self_texts() {
    EchSelf self{};
    for (int c = 0; c < 256; ++c) self.text[c][0] = static_cast<char>(c);
    return self;
}

inline constexpr EchSelf ech_self = ech_self_texts();

// Byte 255 in every table.
inline constexpr char ech_unknown[] = "<?>";

// The initialisers f(0), f(1) ... f(255) of a table indexed by byte: the entries come from
// one constexpr rule per table, and the table is still filled at compile time.
#define LB_ECH_4(f, b) f(b), f(b + 1), f(b + 2), f(b + 3)
#define LB_ECH_16(f, b) LB_ECH_4(f, b), LB_ECH_4(f, b + 4), LB_ECH_4(f, b + 8), LB_ECH_4(f, b + 12)
#define LB_ECH_64(f, b) \
    LB_ECH_16(f, b), LB_ECH_16(f, b + 16), LB_ECH_16(f, b + 32), LB_ECH_16(f, b + 48)
#define LB_ECH_256(f) LB_ECH_64(f, 0), LB_ECH_64(f, 64), LB_ECH_64(f, 128), LB_ECH_64(f, 192)

#endif
