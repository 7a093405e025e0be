#include "plugin/language.h"

#include "json/json.h"

#include <array>
#include <atomic>
#include <optional>

namespace language {

namespace {

using belpic::Melding;

constexpr std::size_t kLanguages = 4;

struct Row {
    Melding melding;
    const char* text[kLanguages]; // {reader}, {field} or {language}: the Fout's argument
};

// Every sentence once, its languages side by side. The French sentences take a no-break space
// before a colon.
constexpr Row kCatalogue[] = {
    {Melding::geenLezer,
     {"No card reader connected.", "Er is geen kaartlezer aangesloten.",
      "Aucun lecteur de cartes n'est connecté.", "Es ist kein Kartenleser angeschlossen."}},
    {Melding::geenKaart,
     {"There is no card in the reader.", "Er zit geen kaart in de kaartlezer.",
      "Il n'y a pas de carte dans le lecteur.", "Im Kartenleser steckt keine Karte."}},
    {Melding::kaartZwijgt,
     {"The card does not respond. If this card was just read successfully, take it out and put it "
      "back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
      "insert it all the way.",
      "De kaart antwoordt niet. Werd deze kaart net nog gelezen, neem ze er dan uit en steek ze "
      "opnieuw in. Draai ze anders om -- bij de nieuwere Belgische eID zit de chip op de "
      "achterkant -- en steek ze er helemaal in.",
      "La carte ne répond pas. Si cette carte vient d'être lue, retirez-la et réinsérez-la. Sinon, "
      "retournez-la -- sur la nouvelle eID belge, la puce se trouve au verso -- et insérez-la "
      "jusqu'au bout.",
      "Die Karte antwortet nicht. Wurde diese Karte gerade erst gelesen, ziehen Sie sie heraus und "
      "stecken Sie sie wieder ein. Sonst drehen Sie sie um -- bei der neueren belgischen eID ist "
      "der Chip auf der Rückseite -- und stecken Sie sie ganz ein."}},
    {Melding::geenVerbinding,
     {"Could not connect to reader {reader}.", "Kan geen verbinding maken met kaartlezer {reader}.",
      "Impossible de se connecter au lecteur {reader}.",
      "Keine Verbindung zum Kartenleser {reader} möglich."}},
    {Melding::dienstZwijgt,
     {"The smart card service is not responding.", "De smartcarddienst reageert niet.",
      "Le service de cartes à puce ne répond pas.", "Der Smartcard-Dienst reagiert nicht."}},
    {Melding::nietBereikt,
     {"The command did not reach the card.", "De opdracht heeft de kaart niet bereikt.",
      "La commande n'a pas atteint la carte.", "Der Befehl hat die Karte nicht erreicht."}},
    {Melding::geenBestand,
     {"That file is not on the card.", "Dat bestand staat niet op de kaart.",
      "Ce fichier ne se trouve pas sur la carte.", "Diese Datei ist nicht auf der Karte."}},
    {Melding::leesFout,
     {"Reading the card failed.", "Het lezen van de kaart is mislukt.",
      "La lecture de la carte a échoué.", "Das Lesen der Karte ist fehlgeschlagen."}},
    {Melding::onvolledig,
     {"The card returned an incomplete response.", "De kaart gaf een onvolledig antwoord.",
      "La carte a renvoyé une réponse incomplète.", "Die Karte hat unvollständig geantwortet."}},
    {Melding::nietVerbonden,
     {"No open connection to the card.", "Er is geen open verbinding met de kaart.",
      "Aucune connexion ouverte avec la carte.", "Keine offene Verbindung zur Karte."}},
    {Melding::onbekendeLezer,
     {"There is no card reader named {reader}.", "Er is geen kaartlezer met de naam {reader}.",
      "Il n'y a pas de lecteur nommé {reader}.", "Es gibt keinen Kartenleser namens {reader}."}},
    {Melding::wachtGestopt,
     {"The wait for a card was stopped.", "Het wachten op een kaart werd gestopt.",
      "L'attente d'une carte a été interrompue.", "Das Warten auf eine Karte wurde abgebrochen."}},
    {Melding::nietOpTijd,
     {"No card was inserted in time. Insert the card and try again.",
      "Er werd niet op tijd een kaart ingestoken. Steek de kaart in en probeer het opnieuw.",
      "Aucune carte n'a été insérée à temps. Insérez la carte et réessayez.",
      "Es wurde nicht rechtzeitig eine Karte eingesteckt. Stecken Sie die Karte ein und versuchen "
      "Sie es erneut."}},
    {Melding::verkeerdeSeconden,
     {"The number of seconds to wait must be a whole number from 0 to 600.",
      "Het aantal seconden om te wachten moet een geheel getal van 0 tot 600 zijn.",
      "Le nombre de secondes d'attente doit être un nombre entier de 0 à 600.",
      "Die Wartezeit in Sekunden muss eine ganze Zahl von 0 bis 600 sein."}},
    {Melding::geenScripts,
     {"Scripts cannot be started when a card is inserted here: only FileMaker Pro runs them, not "
      "FileMaker Server or the Data API.",
      "Hier kan geen script starten wanneer een kaart wordt ingestoken: alleen FileMaker Pro voert "
      "ze uit, niet FileMaker Server of de Data API.",
      "Ici, aucun script ne peut être lancé à l'insertion d'une carte : seul FileMaker Pro les "
      "exécute, pas FileMaker Server ni la Data API.",
      "Hier können beim Einstecken einer Karte keine Skripts gestartet werden: Nur FileMaker Pro "
      "führt sie aus, nicht FileMaker Server oder die Data API."}},
    {Melding::bestandEnScript,
     {"Name both the file and the script to start.",
      "Geef zowel het bestand als het script op dat moet starten.",
      "Indiquez le fichier et le script à lancer.",
      "Geben Sie die Datei und das zu startende Skript an."}},
    {Melding::onbekendVeld,
     {"There is no card field named {field}.", "Er is geen kaartveld met de naam {field}.",
      "Il n'y a pas de champ de carte nommé {field}.", "Es gibt kein Kartenfeld namens {field}."}},
    {Melding::geenVelden,
     {"Name at least one card field.", "Geef minstens één kaartveld op.",
      "Indiquez au moins un champ de la carte.", "Geben Sie mindestens ein Kartenfeld an."}},
    {Melding::onbekendeTaal,
     {"The language {language} is not available: use nl, fr, de or en.",
      "De taal {language} is niet beschikbaar: gebruik nl, fr, de of en.",
      "La langue {language} n'est pas disponible : utilisez nl, fr, de ou en.",
      "Die Sprache {language} ist nicht verfügbar: Verwenden Sie nl, fr, de oder en."}},
};

// The names each language is accepted by, as Folded() leaves them; its code first. One row per
// language, in the order of Language.
constexpr std::array<std::array<const char*, 4>, kLanguages> kNames = {{
    {"en", "english"},
    {"nl", "dutch", "nederlands"},
    {"fr", "french", "français", "francais"},
    {"de", "german", "deutsch"},
}};

// What EID_SetLanguage reads around a name: spaces, tabs and line breaks (a value taken from a
// list ends in a return).
constexpr char kBlanks[] = " \t\r\n";

std::atomic<Language> gLanguage{Language::en};

const char* Text(Melding melding, Language language) {
    for (const Row& row : kCatalogue) {
        if (row.melding == melding) {
            return row.text[static_cast<std::size_t>(language)];
        }
    }
    return "";
}

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(kBlanks);
    if (begin == std::string::npos) {
        return {};
    }
    return text.substr(begin, text.find_last_not_of(kBlanks) + 1 - begin);
}

// Lower case for ASCII and for the one capital outside it that a name holds: the Ç of Français
// (C3 87) becomes ç (C3 A7).
std::string Folded(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') {
            text[i] = static_cast<char>(text[i] - 'A' + 'a');
        } else if (text.compare(i, 2, "\xC3\x87") == 0) {
            text[++i] = '\xA7';
        }
    }
    return text;
}

// The language a name without blanks around it stands for.
std::optional<Language> Named(const std::string& trimmed) {
    const std::string folded = Folded(trimmed);
    for (std::size_t language = 0; language < kLanguages; ++language) {
        for (const char* accepted : kNames[language]) {
            if (accepted != nullptr && folded == accepted) {
                return static_cast<Language>(language);
            }
        }
    }
    return std::nullopt;
}

} // namespace

Language Current() {
    return gLanguage.load();
}

void Set(Language language) {
    gLanguage.store(language);
}

std::string Code(Language language) {
    return kNames[static_cast<std::size_t>(language)][0];
}

std::string Choose(const std::string& name) {
    const std::string trimmed = Trimmed(name);
    if (trimmed.empty()) {
        return Code(Current());
    }
    const std::optional<Language> language = Named(trimmed);
    if (!language) {
        return ErrorDocument(
            belpic::Fout{belpic::verkeerdeVraag, Melding::onbekendeTaal, trimmed, ""});
    }
    Set(*language);
    return Code(*language);
}

std::string Sentence(const belpic::Fout& fout, Language language) {
    std::string sentence = Text(fout.melding, language);
    const std::size_t open = sentence.find('{');
    if (open != std::string::npos) {
        sentence.replace(open, sentence.find('}', open) + 1 - open, fout.argument);
    }
    return sentence;
}

std::string ErrorDocument(const belpic::Fout& fout) {
    return belpic::foutAlsJson(Sentence(fout), fout.detail);
}

} // namespace language
