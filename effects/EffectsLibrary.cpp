// Anchor of the effects library; the stages live in tone/ and modulation/.
namespace stravik::effects {
int libraryAnchor = 0;
}
