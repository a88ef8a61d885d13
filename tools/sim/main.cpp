// Stand-in: replaced by the simulator.
int main() { return 0; }
