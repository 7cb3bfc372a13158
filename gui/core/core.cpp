// Anchors vlngui_core until its first part lands.
namespace vlngui {
int core_anchor() { return 0; }
}  // namespace vlngui
