// STUB
int main() { return 0; }
