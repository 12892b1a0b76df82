// Word count plug-in for Moravel Reader (demo): counts the words of the current page.
function countWords(text) {
    var words = text.split(/\s+/).filter(function (w) { return w.length > 0; });
    return words.length;
}
