// Stand-in: replaced by the preferences tool.
int main() { return 0; }
