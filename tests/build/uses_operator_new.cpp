// Compiles, but the symbol check refuses it: kernel code allocates from the pool only.
struct Record {
    int value;
};
Record* MakeRecord() { return new Record{7}; }
