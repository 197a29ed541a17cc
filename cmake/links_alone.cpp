// A program that does nothing, linked with the whole of one library: see CMakeLists.txt.
int main() {
    return 0;
}
