// Placeholder until the board control tool lands.
int main() { return 1; }
